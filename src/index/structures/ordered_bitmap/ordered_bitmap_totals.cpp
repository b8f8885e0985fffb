// Sums of keys read off the slices: under one head (sign and exponent) every
// mantissa bit weighs the same for each key, so the sum of a head's mantissas
// is the count of its ids on each bit's 1 side, times the bit's weight.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vorlane {

namespace {

// Adds one key to the totals of its head (kept ascending by head).
void add_key(std::vector<HeadTotal>& totals, const OrderKey& key) {
    auto it = std::lower_bound(totals.begin(), totals.end(), key.head,
                               [](const HeadTotal& t, uint16_t head) { return t.head < head; });
    if (it == totals.end() || it->head != key.head) it = totals.insert(it, HeadTotal{key.head});
    const uint64_t magnitude = it->negative() ? ~key.mantissa : key.mantissa;
    ++it->count;
    it->magnitudes += magnitude;
    it->bits |= magnitude;
}

// The cost of meeting a set of `ids` in `chunks` chunks with a slice, in
// lookups of one id: each id looked up, or each chunk's bitset read word by
// word (about kBitsetCost) when the ids are that many; and the call itself.
constexpr uint64_t kBitsetCost = 250;
constexpr uint64_t kCallCost = 100;
uint64_t cost_of_meeting(uint64_t ids, uint64_t chunks) {
    return kCallCost + (ids > 4096 * chunks ? kBitsetCost * chunks : ids);
}

}  // namespace

std::vector<HeadTotal> NumericalBitmap::head_totals(const Bitmap& of) const {
    Work work;
    return head_totals(of, work);
}

std::vector<HeadTotal> NumericalBitmap::head_totals(const Bitmap& of, Work& work) const {
    std::vector<HeadTotal> out;
    if (is_small()) {
        for (const SmallEntry& e : small_) {
            if (of.contains(e.id)) add_key(out, e.key);
        }
        return out;
    }
    if (heads_.empty() || of.is_empty()) return out;
    split_by_head(of, 0, heads_.size(), false, out, work);
    return out;
}

void NumericalBitmap::split_by_head(const Bitmap& ids, size_t first, size_t past, bool keyed,
                                    std::vector<HeadTotal>& out, Work& work) const {
    if (ids.is_empty() || work.over()) return;
    if (past - first == 1) {
        if (keyed) {
            out.push_back(total_of_head(ids, first, work));
        } else {
            // Only one head was ever entered: every id with a key has its bit 64.
            const bool bit = (heads_[first].head & 1U) != 0;
            out.push_back(total_of_head(ids.and_(slices_[64][bit].bitmap()), first, work));
        }
        return;
    }
    // Two sets made: each about twice a count's cost.
    work.done += 4 * cost_of_meeting(ids.cardinality(), ids.container_count());
    // The heads are ascending and agree above their highest difference: those
    // with a 1 there come after those with a 0.
    const auto apart = static_cast<unsigned>(heads_[first].head ^ heads_[past - 1].head);
    const auto differ = static_cast<unsigned>(std::bit_width(apart)) - 1;
    size_t mid = first;
    while (((heads_[mid].head >> differ) & 1U) == 0) ++mid;
    const Slice& slice = slices_[64 + differ];
    Bitmap ones = ids.and_(slice[1].bitmap());
    Bitmap zeros = keyed ? ids.andnot(ones) : ids.and_(slice[0].bitmap());
    split_by_head(zeros, first, mid, true, out, work);
    zeros = Bitmap();
    split_by_head(ones, mid, past, true, out, work);
}

HeadTotal NumericalBitmap::total_of_head(const Bitmap& given, size_t at, Work& work) const {
    const HeadBits& bits = heads_[at];
    HeadTotal total{bits.head};
    total.count = given.cardinality();
    if (total.count == 0) return total;
    const bool negative = total.negative();
    const uint64_t varying = bits.any ^ bits.all;
    // Ids kept as arrays (up to 4096 a chunk) but not too few for their chunks
    // are met with the slices word by word, as bitsets, when there are bits
    // enough to read: looking each id up costs more (about 4 ids to a word;
    // making a chunk's bitset, some 10 words' worth).
    Bitmap dense;
    const uint64_t per_chunk = total.count / std::max<uint64_t>(1, given.container_count());
    const auto reads = static_cast<uint64_t>(std::popcount(varying));
    if (per_chunk >= kDenseIdsPerChunk && per_chunk <= 4096 && reads * (per_chunk - kDenseIdsPerChunk) > 2500) {
        dense = given.with_bitset_chunks();
    }
    const Bitmap& ids = dense.is_empty() ? given : dense;
    const uint64_t chunks = ids.container_count();
    work.done += reads * (dense.is_empty() ? cost_of_meeting(total.count, chunks) : kCallCost + kBitsetCost * chunks);
    if (work.over()) return total;
    for (size_t bit = 0; bit < 64; ++bit) {
        // Bits every key of this head shares are not read.
        uint64_t ones = 0;
        if (((varying >> bit) & 1U) != 0) {
            ones = ids.and_cardinality(slices_[bit][1].bitmap());
        } else if (((bits.all >> bit) & 1U) != 0) {
            ones = total.count;
        }
        const uint64_t magnitude_ones = negative ? total.count - ones : ones;
        total.magnitudes += static_cast<unsigned __int128>(magnitude_ones) << bit;
        if (magnitude_ones != 0) total.bits |= uint64_t{1} << bit;
    }
    return total;
}

namespace {

// One step of a bit-matrix transpose over N rows: within every diagonal
// block of 2J rows and columns, the two off-diagonal J x J blocks swap.
template <unsigned N, unsigned J, uint64_t Mask>
inline void swap_blocks(uint64_t* rows) {
    for (unsigned block = 0; block < N; block += 2 * J) {
        for (unsigned k = block; k < block + J; ++k) {
            const uint64_t t = ((rows[k] >> J) ^ rows[k + J]) & Mask;
            rows[k] ^= t << J;
            rows[k + J] ^= t;
        }
    }
}

// The codes of the 64 ids of a word from its bit matrix: bit r of codes[i]
// is bit i of rows[r] (rows[r] for r < `count`, read `stride` apart; the
// others 0). W (a power of two, 8...64, at least `count`) is the codes'
// width: the words split into 64 / W lanes of W ids, each lane's W x W
// matrix transposed by the same steps at once.
template <unsigned W>
void codes_of_word(const uint64_t* rows, size_t stride, size_t count, uint64_t* codes) {
    std::array<uint64_t, W> m{};
    for (size_t r = 0; r < count; ++r) m[r] = rows[r * stride];
    if constexpr (W > 32) swap_blocks<W, 32, 0x00000000FFFFFFFFULL>(m.data());
    if constexpr (W > 16) swap_blocks<W, 16, 0x0000FFFF0000FFFFULL>(m.data());
    if constexpr (W > 8) swap_blocks<W, 8, 0x00FF00FF00FF00FFULL>(m.data());
    swap_blocks<W, 4, 0x0F0F0F0F0F0F0F0FULL>(m.data());
    swap_blocks<W, 2, 0x3333333333333333ULL>(m.data());
    swap_blocks<W, 1, 0x5555555555555555ULL>(m.data());
    if constexpr (W == 64) {
        std::copy(m.begin(), m.end(), codes);
    } else {
        for (unsigned lane = 0; lane < 64 / W; ++lane) {
            for (unsigned r = 0; r < W; ++r) codes[lane * W + r] = (m[r] >> (lane * W)) & ((uint64_t{1} << W) - 1);
        }
    }
}

using CodesOfWord = void (*)(const uint64_t*, size_t, size_t, uint64_t*);

// The width of the narrowest codes that hold `rows` bits (8...64).
size_t code_width(size_t rows) { return rows <= 8 ? 8 : std::bit_ceil(rows); }

CodesOfWord codes_for(size_t rows) {
    switch (code_width(rows)) {
        case 8: return codes_of_word<8>;
        case 16: return codes_of_word<16>;
        case 32: return codes_of_word<32>;
        default: return codes_of_word<64>;
    }
}

// The code of id `i` of a word alone: bit r is bit i of rows[r * stride].
uint64_t gather_code(const uint64_t* rows, size_t stride, size_t count, unsigned i) {
    uint64_t code = 0;
    for (size_t r = 0; r < count; ++r) code |= ((rows[r * stride] >> i) & 1U) << r;
    return code;
}

// The running head totals of every (group, head) pair of a pass. The
// magnitudes' high and low halves are summed apart: two adds that do not
// wait on a carry, and neither overflows before 2^32 ids.
struct Running {
    uint64_t high = 0;
    uint64_t low = 0;
    uint64_t count = 0;
    uint64_t bits = 0;

    void add(uint64_t magnitude, uint64_t n) {
        const unsigned __int128 product = static_cast<unsigned __int128>(n) * magnitude;
        high += static_cast<uint64_t>(product >> 32);
        low += static_cast<uint64_t>(product & 0xFFFFFFFFU);
        count += n;
        bits |= magnitude;
    }
};

// A key as the totals take it: its head's place in the heads, its magnitude.
struct Decoded {
    size_t head;
    uint64_t magnitude;
};

// How the code of an id (its key bits as read off the rows, bit r for row r)
// makes its key: the rows are the mantissa bits low...low + rows - 1, then
// the head bits the same way (in a second code when they do not fit in 64);
// every other bit is shared by all keys.
struct KeyLayout {
    unsigned mantissa_low = 0;
    unsigned mantissa_rows = 0;
    unsigned head_low = 0;
    unsigned head_rows = 0;
    uint64_t mantissa_range = 0;
    uint64_t mantissa_fixed = 0;
    uint16_t head_range = 0;
    uint16_t head_fixed = 0;
    bool one_code = true;
    const uint16_t* head_index = nullptr;  // heads_ place of each head

    Decoded decode(uint64_t code, uint64_t second_code) const {
        const uint64_t head_code = one_code ? (head_rows == 0 ? 0 : code >> mantissa_rows) : second_code;
        const uint64_t mantissa = mantissa_fixed | ((code << mantissa_low) & mantissa_range);
        const auto head = static_cast<uint16_t>(head_fixed | ((head_code << head_low) & head_range));
        return Decoded{head_index[head], (head & detail::kPositiveHead) != 0 ? mantissa : ~mantissa};
    }
};

// The codes of a span of ids: what each id's key bits read as.
struct SpanCodes {
    const uint64_t* codes;       // one per id of the span
    const uint64_t* head_codes;  // the second codes, when the layout takes them
    const uint64_t* keyed;       // the chunk's ids that have a key
    uint32_t base;               // the low half of the span's first id
};

bool has_key(const uint64_t* keyed, uint16_t low) { return ((keyed[low / 64] >> (low % 64)) & 1U) != 0; }

// Adds each of `lows` that has a key to its head's running totals.
void add_each(const KeyLayout layout, const SpanCodes span, std::span<const uint16_t> lows, Running* mine) {
    for (const uint16_t low : lows) {
        if (!has_key(span.keyed, low)) continue;
        const uint32_t at = low - span.base;
        const Decoded key = layout.decode(span.codes[at], layout.one_code ? 0 : span.head_codes[at]);
        Running& r = mine[key.head];
        r.high += key.magnitude >> 32;
        r.low += key.magnitude & 0xFFFFFFFFU;
        ++r.count;
        r.bits |= key.magnitude;
    }
}

// The distinct codes met so far, while they are few (a table by code).
class DistinctCodes {
public:
    static constexpr size_t kMost = 256;

    // The place of `code` among the distinct codes, entered if new; kMost
    // when the table is full.
    size_t place(uint64_t code) {
        size_t slot = (code * 0x9E3779B97F4A7C15ULL) >> (64 - kTableBits);
        while (index_[slot] != kFree) {
            if (codes_[slot] == code) return index_[slot];
            slot = (slot + 1) % kTableSize;
        }
        if (count_ == kMost) return kMost;
        codes_[slot] = code;
        index_[slot] = static_cast<uint16_t>(count_);
        return count_++;
    }

private:
    static constexpr unsigned kTableBits = 10;
    static constexpr size_t kTableSize = size_t{1} << kTableBits;
    static constexpr uint16_t kFree = 0xFFFF;
    std::array<uint64_t, kTableSize> codes_{};
    std::array<uint16_t, kTableSize> index_ = [] {
        std::array<uint16_t, kTableSize> a{};
        a.fill(kFree);
        return a;
    }();
    size_t count_ = 0;
};

// Counts each of `lows` that has a key under its code's place, until the
// table of codes is full; how many of `lows` were taken. `first_of` keeps the
// id each place was first met at, to decode it later.
size_t count_each(DistinctCodes& table, const SpanCodes span, std::span<const uint16_t> lows, uint32_t* counted,
                  std::vector<std::pair<uint64_t, uint64_t>>& first_of) {
    for (size_t k = 0; k < lows.size(); ++k) {
        const uint16_t low = lows[k];
        if (!has_key(span.keyed, low)) continue;
        const uint32_t at = low - span.base;
        const size_t place = table.place(span.codes[at]);
        if (place == DistinctCodes::kMost) return k;
        if (place == first_of.size()) {
            first_of.emplace_back(span.codes[at], span.head_codes == nullptr ? 0 : span.head_codes[at]);
        }
        ++counted[place];
    }
    return lows.size();
}

constexpr uint64_t kNoIds[Bitmap::kChunkWords] = {};
// Ones wherever an id may be: the rows of key bits that are 1 in every key.
const std::array<uint64_t, Bitmap::kChunkWords> kAllIds = [] {
    std::array<uint64_t, Bitmap::kChunkWords> a{};
    a.fill(~uint64_t{0});
    return a;
}();
// Largest number of (group, head) and (group, key) pairs a pass keeps
// running totals and counts for.
constexpr size_t kMaxRunning = size_t{1} << 18;
// Ids a span of a chunk holds: the words of a few cache lines of each row.
constexpr size_t kSpanWords = 32;

}  // namespace

std::vector<std::vector<HeadTotal>> NumericalBitmap::head_totals_of_groups(std::span<const Bitmap> groups) const {
    std::vector<std::vector<HeadTotal>> out(groups.size());
    if (groups.empty()) return out;
    // The first group is asked alone, unless that takes more work than one
    // pass over its keys would (about kOnePassCost an id): then all go in one pass.
    constexpr uint64_t kOnePassCost = 10;
    Work work;
    if (!is_small() && groups.size() > 1) work.limit = kOnePassCost * groups[0].cardinality();
    out[0] = head_totals(groups[0], work);
    if (work.over()) return head_totals_in_one_pass(groups);
    for (size_t g = 1; g < groups.size(); ++g) out[g] = head_totals(groups[g]);
    return out;
}

std::vector<std::vector<HeadTotal>> NumericalBitmap::head_totals_in_one_pass(std::span<const Bitmap> groups) const {
    std::vector<std::vector<HeadTotal>> out(groups.size());
    if (is_small() || heads_.empty()) {
        for (size_t g = 0; g < groups.size(); ++g) out[g] = head_totals(groups[g]);
        return out;
    }
    std::vector<size_t> all;
    for (size_t g = 0; g < groups.size(); ++g) {
        if (!groups[g].is_empty()) all.push_back(g);
    }
    const size_t most = std::max<size_t>(1, kMaxRunning / std::max(heads_.size(), DistinctCodes::kMost));
    for (size_t first = 0; first < all.size(); first += most) {
        sum_in_one_pass(groups, std::span<const size_t>(all).subspan(first, std::min(most, all.size() - first)), out);
    }
    return out;
}

void NumericalBitmap::sum_in_one_pass(std::span<const Bitmap> groups, std::span<const size_t> members,
                                      std::vector<std::vector<HeadTotal>>& out) const {
    const size_t heads = heads_.size();
    std::vector<uint16_t> head_index(size_t{1} << 12, 0);
    for (size_t h = 0; h < heads; ++h) head_index[heads_[h].head] = static_cast<uint16_t>(h);

    // The key bits read: from the lowest to the highest mantissa bit that
    // keys do not all share, then the same for the head. Bits outside those
    // ranges are every key's; shared bits inside them read as a constant row.
    KeyLayout layout;
    layout.head_index = head_index.data();
    const uint64_t mantissa_varies = seen_any_.mantissa ^ seen_all_.mantissa;
    const auto head_varies = static_cast<uint16_t>((seen_any_.head ^ seen_all_.head) & detail::kHeadMask);
    if (mantissa_varies != 0) {
        layout.mantissa_low = static_cast<unsigned>(std::countr_zero(mantissa_varies));
        layout.mantissa_rows = static_cast<unsigned>(std::bit_width(mantissa_varies)) - layout.mantissa_low;
    }
    if (head_varies != 0) {
        layout.head_low = static_cast<unsigned>(std::countr_zero(head_varies));
        layout.head_rows = static_cast<unsigned>(std::bit_width(head_varies)) - layout.head_low;
    }
    layout.mantissa_range = layout.mantissa_rows == 64
                                ? ~uint64_t{0}
                                : ((uint64_t{1} << layout.mantissa_rows) - 1) << layout.mantissa_low;
    layout.head_range = static_cast<uint16_t>(((1U << layout.head_rows) - 1) << layout.head_low);
    layout.mantissa_fixed = seen_all_.mantissa & ~layout.mantissa_range;
    layout.head_fixed = static_cast<uint16_t>(seen_all_.head & ~layout.head_range);
    layout.one_code = layout.mantissa_rows + layout.head_rows <= 64;
    std::vector<size_t> row_bits;
    for (unsigned r = 0; r < layout.mantissa_rows; ++r) row_bits.push_back(layout.mantissa_low + r);
    for (unsigned r = 0; r < layout.head_rows; ++r) row_bits.push_back(64 + layout.head_low + r);
    const size_t rows = row_bits.size();
    const size_t first_rows = std::min<size_t>(rows, 64);
    const CodesOfWord first_codes = codes_for(first_rows);

    // The ids with a key: one side of a bit all keys share, or both sides of bit 0.
    size_t keyed_bit = kOrderKeyBits;
    bool keyed_side = false;
    for (size_t bit = 0; bit < kOrderKeyBits && keyed_bit == kOrderKeyBits; ++bit) {
        if (shared_bit(bit, keyed_side)) keyed_bit = bit;
    }

    std::vector<Running> running(members.size() * heads);
    // While the keys met are few, each group counts its ids per key (by
    // code); the counts go into the totals at the end, or once more keys come.
    bool by_code = layout.one_code;
    DistinctCodes table;
    std::vector<uint32_t> counts(by_code ? members.size() * DistinctCodes::kMost : 0);
    std::vector<std::pair<uint64_t, uint64_t>> first_of;
    const auto stop_counting = [&] {
        by_code = false;
        for (size_t place = 0; place < first_of.size(); ++place) {
            const Decoded key = layout.decode(first_of[place].first, first_of[place].second);
            for (size_t j = 0; j < members.size(); ++j) {
                const uint32_t n = counts[j * DistinctCodes::kMost + place];
                if (n != 0) running[j * heads + key.head].add(key.magnitude, n);
            }
        }
    };

    std::vector<uint64_t> scratch((rows + 3) * Bitmap::kChunkWords);
    std::vector<const uint64_t*> row_words(rows);
    uint64_t* keyed_scratch = scratch.data() + rows * Bitmap::kChunkWords;
    std::vector<uint64_t> tile(rows * kSpanWords);
    std::vector<uint64_t> word(rows);  // one word of every row
    std::vector<uint64_t> codes(kSpanWords * 64);
    std::vector<uint64_t> head_codes(layout.one_code ? 0 : kSpanWords * 64);
    // The low halves of each member's ids in the chunk, one member after another.
    std::vector<uint16_t> lows;
    std::vector<size_t> ends(members.size());
    std::vector<size_t> next(members.size());
    std::vector<uint64_t> wanted(Bitmap::kChunkWords);
    // Up to this many ids of a word, gathering each one's bits costs less than
    // transposing the word's matrix (about 3 W log W steps for codes of W bits).
    const int few_ids = static_cast<int>(code_width(first_rows) * std::bit_width(code_width(first_rows) - 1) /
                                         std::max<size_t>(first_rows, 1));

    std::vector<uint16_t> chunks;
    for (size_t m : members) {
        const std::vector<uint16_t> keys = groups[m].chunk_keys();
        chunks.insert(chunks.end(), keys.begin(), keys.end());
    }
    std::sort(chunks.begin(), chunks.end());
    chunks.erase(std::unique(chunks.begin(), chunks.end()), chunks.end());

    for (const uint16_t chunk : chunks) {
        size_t taken = 0;
        for (size_t j = 0; j < members.size(); ++j) {
            if (lows.size() < taken + (size_t{1} << 16)) lows.resize(taken + (size_t{1} << 16));
            next[j] = taken;
            taken += groups[members[j]].chunk_lows(chunk, lows.data() + taken);
            ends[j] = taken;
        }
        if (taken == 0) continue;
        for (size_t r = 0; r < rows; ++r) {
            const size_t bit = row_bits[r];
            bool value = false;
            if (shared_bit(bit, value)) {
                row_words[r] = value ? kAllIds.data() : kNoIds;
            } else {
                row_words[r] = slices_[bit][1].bitmap().chunk_words(chunk, scratch.data() + r * Bitmap::kChunkWords);
            }
        }
        const uint64_t* keyed = nullptr;
        if (keyed_bit != kOrderKeyBits) {
            keyed = slices_[keyed_bit][keyed_side].bitmap().chunk_words(chunk, keyed_scratch);
        } else {
            uint64_t* both = keyed_scratch + Bitmap::kChunkWords;
            const uint64_t* zeros = slices_[0][0].bitmap().chunk_words(chunk, keyed_scratch);
            const uint64_t* ones = slices_[0][1].bitmap().chunk_words(chunk, both + Bitmap::kChunkWords);
            for (size_t w = 0; w < Bitmap::kChunkWords; ++w) both[w] = zeros[w] | ones[w];
            keyed = both;
        }
        // The ids whose keys are read: all that have keys when the groups
        // cover the chunk about as densely, else those of the groups.
        const bool dense = taken * 4 >= Bitmap::kChunkWords * 64;
        if (!dense) {
            std::fill(wanted.begin(), wanted.end(), 0);
            for (size_t k = 0; k < taken; ++k) wanted[lows[k] / 64] |= uint64_t{1} << (lows[k] % 64);
        }
        // A span of words at a time: the rows' words are copied (a few cache
        // lines of each row), each word's bit matrix is transposed into the
        // codes of its ids, then each group takes in the ids it holds there.
        for (size_t first = 0; first < Bitmap::kChunkWords; first += kSpanWords) {
            // The span's words of every row, side by side: copied when the
            // span's ids are many, else read where they are.
            if (dense) {
                for (size_t r = 0; r < rows; ++r) {
                    std::memcpy(&tile[r * kSpanWords], row_words[r] + first, sizeof(uint64_t) * kSpanWords);
                }
            }
            for (size_t at = 0; at < kSpanWords; ++at) {
                const size_t w = first + at;
                const uint64_t ids = dense ? keyed[w] : keyed[w] & wanted[w];
                if (ids == 0) continue;
                if (dense) {
                    first_codes(&tile[at], kSpanWords, first_rows, &codes[at * 64]);
                    if (!layout.one_code) {
                        codes_of_word<16>(&tile[layout.mantissa_rows * kSpanWords + at], kSpanWords,
                                          layout.head_rows, &head_codes[at * 64]);
                    }
                    continue;
                }
                for (size_t r = 0; r < rows; ++r) word[r] = row_words[r][w];
                if (std::popcount(ids) <= few_ids) {
                    // A few ids: each one's bits gathered from the rows.
                    for (uint64_t left = ids; left != 0; left &= left - 1) {
                        const auto i = static_cast<unsigned>(std::countr_zero(left));
                        codes[at * 64 + i] = gather_code(word.data(), 1, first_rows, i);
                        if (!layout.one_code) {
                            head_codes[at * 64 + i] =
                                gather_code(&word[layout.mantissa_rows], 1, layout.head_rows, i);
                        }
                    }
                    continue;
                }
                first_codes(word.data(), 1, first_rows, &codes[at * 64]);
                if (!layout.one_code) {
                    codes_of_word<16>(&word[layout.mantissa_rows], 1, layout.head_rows, &head_codes[at * 64]);
                }
            }
            const SpanCodes span{codes.data(), layout.one_code ? nullptr : head_codes.data(), keyed,
                                 static_cast<uint32_t>(first * 64)};
            const uint32_t past = span.base + kSpanWords * 64;
            for (size_t j = 0; j < members.size(); ++j) {
                const size_t from = next[j];
                size_t to = from;
                while (to < ends[j] && lows[to] < past) ++to;
                next[j] = to;
                std::span<const uint16_t> mine(lows.data() + from, to - from);
                if (by_code) {
                    const size_t counted = count_each(table, span, mine, &counts[j * DistinctCodes::kMost], first_of);
                    if (counted == mine.size()) continue;
                    stop_counting();  // more keys than the table keeps: each id is added as it comes
                    mine = mine.subspan(counted);
                }
                add_each(layout, span, mine, &running[j * heads]);
            }
        }
    }
    if (by_code) stop_counting();
    for (size_t j = 0; j < members.size(); ++j) {
        std::vector<HeadTotal>& totals = out[members[j]];
        for (size_t h = 0; h < heads; ++h) {
            const Running& r = running[j * heads + h];
            if (r.count == 0) continue;
            const unsigned __int128 magnitudes = (static_cast<unsigned __int128>(r.high) << 32) + r.low;
            totals.push_back(HeadTotal{heads_[h].head, r.count, magnitudes, r.bits});
        }
    }
}

}  // namespace vorlane

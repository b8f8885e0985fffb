#include "index/structures/bitmap.hpp"

#include <bit>
#include <cstring>
#include <vector>

#include "index/structures/heap_bytes.hpp"

namespace vorlane {

namespace {

// CRoaring's portable format without run containers: a cookie and the number of
// containers, then per container its key and cardinality - 1, then per
// container the offset of its data. A container of more than 4096 ids is a
// bitset of 1024 words, any other an ascending array of the ids' low halves.
constexpr uint32_t kNoRunCookie = 12346;
constexpr size_t kArrayMax = 4096;
constexpr size_t kBitsetBytes = 8192;
// Below this many ids the layout costs more than it saves.
constexpr size_t kSortedMin = 256;
// From this many ascending ids, adding or removing them goes through one
// union or difference with a bitmap of them.
constexpr size_t kMergeMin = 32;
// The layout buffer is kept per thread between calls up to this size.
constexpr size_t kKeptBytes = size_t{1} << 20;

template <class T>
void put(char* at, T value) {
    std::memcpy(at, &value, sizeof(T));
}

// Past this many runs, editing a run container (which moves the runs after
// the edit) costs more than the bitset or array of the same ids.
constexpr int32_t kRunsBeforeLoosening = 128;

// The container of `key`, if it is a run container with many runs, becomes a
// bitset (or an array, for few ids): what random removals from a long run
// (a slice bit all ids share, a run-optimized set) leave is no longer a run.
void loosen_runs(roaring_bitmap_t* raw, uint16_t key) {
    using namespace roaring::internal;
    roaring_array_t& ra = raw->high_low_container;
    const int32_t i = ra_get_index(&ra, key);
    if (i < 0 || ra.typecodes[i] != RUN_CONTAINER_TYPE) return;
    const run_container_t* run = const_CAST_run(ra.containers[i]);
    if (run->n_runs < kRunsBeforeLoosening) return;
    const int32_t card = run_container_cardinality(run);
    container_t* loose = nullptr;
    uint8_t type = 0;
    if (card <= DEFAULT_MAX_SIZE) {
        loose = array_container_from_run(run);
        type = ARRAY_CONTAINER_TYPE;
    } else {
        loose = bitset_container_from_run(run);
        type = BITSET_CONTAINER_TYPE;
    }
    if (loose == nullptr) fail(kBitmapCreateFailed);
    container_free(ra.containers[i], RUN_CONTAINER_TYPE);
    ra.containers[i] = loose;
    ra.typecodes[i] = type;
}

}  // namespace

Bitmap Bitmap::with_bitset_chunks() const {
    using namespace roaring::internal;
    if (raw_ == nullptr) return Bitmap();
    Bitmap out(create());
    const roaring_array_t& ra = raw_->high_low_container;
    for (int32_t i = 0; i < ra.size; ++i) {
        uint8_t type = ra.typecodes[i];
        const container_t* c = container_unwrap_shared(ra.containers[i], &type);
        container_t* copy = nullptr;
        if (type == BITSET_CONTAINER_TYPE) {
            copy = bitset_container_clone(const_CAST_bitset(c));
        } else if (type == ARRAY_CONTAINER_TYPE) {
            copy = bitset_container_from_array(const_CAST_array(c));
        } else {
            copy = bitset_container_from_run(const_CAST_run(c));
        }
        if (copy == nullptr) fail(kBitmapCloneFailed);
        ra_append(&out.raw_->high_low_container, ra.keys[i], copy, BITSET_CONTAINER_TYPE);
    }
    return out;
}

std::vector<uint16_t> Bitmap::chunk_keys() const {
    if (raw_ == nullptr) return {};
    const roaring_array_t& ra = raw_->high_low_container;
    return std::vector<uint16_t>(ra.keys, ra.keys + ra.size);
}

const uint64_t* Bitmap::chunk_words(uint16_t key, uint64_t* scratch) const {
    using namespace roaring::internal;
    const int32_t i = raw_ == nullptr ? -1 : ra_get_index(&raw_->high_low_container, key);
    if (i < 0) {
        std::memset(scratch, 0, kChunkWords * sizeof(uint64_t));
        return scratch;
    }
    uint8_t type = raw_->high_low_container.typecodes[i];
    const container_t* c = container_unwrap_shared(raw_->high_low_container.containers[i], &type);
    if (type == BITSET_CONTAINER_TYPE) return const_CAST_bitset(c)->words;
    std::memset(scratch, 0, kChunkWords * sizeof(uint64_t));
    if (type == ARRAY_CONTAINER_TYPE) {
        const array_container_t* array = const_CAST_array(c);
        for (int32_t k = 0; k < array->cardinality; ++k) {
            const uint16_t low = array->array[k];
            scratch[low / 64] |= uint64_t{1} << (low % 64);
        }
    } else {
        const run_container_t* run = const_CAST_run(c);
        for (int32_t k = 0; k < run->n_runs; ++k) bitset_set_lenrange(scratch, run->runs[k].value, run->runs[k].length);
    }
    return scratch;
}

const uint64_t* Bitmap::chunk_at(size_t i, uint16_t& key, uint64_t* scratch, const uint16_t*& lows,
                                 size_t& count) const {
    using namespace roaring::internal;
    const roaring_array_t& ra = raw_->high_low_container;
    key = ra.keys[i];
    uint8_t type = ra.typecodes[i];
    const container_t* c = container_unwrap_shared(ra.containers[i], &type);
    if (type == BITSET_CONTAINER_TYPE) return const_CAST_bitset(c)->words;
    if (type == ARRAY_CONTAINER_TYPE) {
        const array_container_t* array = const_CAST_array(c);
        lows = array->array;
        count = static_cast<size_t>(array->cardinality);
        return nullptr;
    }
    std::memset(scratch, 0, kChunkWords * sizeof(uint64_t));
    const run_container_t* run = const_CAST_run(c);
    for (int32_t k = 0; k < run->n_runs; ++k) bitset_set_lenrange(scratch, run->runs[k].value, run->runs[k].length);
    return scratch;
}

size_t Bitmap::chunk_lows(uint16_t key, uint16_t* out) const {
    using namespace roaring::internal;
    const int32_t i = raw_ == nullptr ? -1 : ra_get_index(&raw_->high_low_container, key);
    if (i < 0) return 0;
    uint8_t type = raw_->high_low_container.typecodes[i];
    const container_t* c = container_unwrap_shared(raw_->high_low_container.containers[i], &type);
    size_t n = 0;
    if (type == ARRAY_CONTAINER_TYPE) {
        const array_container_t* array = const_CAST_array(c);
        n = static_cast<size_t>(array->cardinality);
        std::memcpy(out, array->array, n * sizeof(uint16_t));
    } else if (type == BITSET_CONTAINER_TYPE) {
        const uint64_t* words = const_CAST_bitset(c)->words;
        for (size_t w = 0; w < kChunkWords; ++w) {
            for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
                out[n++] = static_cast<uint16_t>(w * 64 + static_cast<size_t>(std::countr_zero(bits)));
            }
        }
    } else {
        const run_container_t* run = const_CAST_run(c);
        for (int32_t k = 0; k < run->n_runs; ++k) {
            const uint32_t first = run->runs[k].value;
            for (uint32_t v = first; v <= first + run->runs[k].length; ++v) out[n++] = static_cast<uint16_t>(v);
        }
    }
    return n;
}

bool strictly_ascending(std::span<const uint32_t> ids) noexcept {
    for (size_t i = 1; i < ids.size(); ++i) {
        if (ids[i] <= ids[i - 1]) return false;
    }
    return true;
}

void Bitmap::add_sorted(std::span<const uint32_t> ids) {
    if (ids.size() >= kSortedMin && strictly_ascending(ids)) {
        add_ascending(ids);
    } else {
        add_many(ids);
    }
}

void Bitmap::add_ascending(std::span<const uint32_t> ids) {
    if (ids.size() < kMergeMin) {
        add_many(ids);
        return;
    }
    if (ids.size() < kSortedMin) {
        // Ids past every id here are appended; ids among them come a few a
        // container, where one merge a container beats an insertion (and a move
        // of the container's tail) an id.
        if (raw_ == nullptr || roaring_bitmap_is_empty(raw_) || ids.front() > roaring_bitmap_maximum(raw_)) {
            add_many(ids);
        } else {
            or_inplace(Bitmap(ids));
        }
        return;
    }
    // Where each chunk of ids sharing their high half begins.
    thread_local std::vector<size_t> starts;
    thread_local std::vector<char> buffer;
    starts.clear();
    starts.push_back(0);
    for (size_t i = 1; i < ids.size(); ++i) {
        if ((ids[i] >> 16) != (ids[i - 1] >> 16)) starts.push_back(i);
    }
    starts.push_back(ids.size());
    const size_t chunks = starts.size() - 1;
    size_t data = 0;
    for (size_t k = 0; k < chunks; ++k) {
        const size_t count = starts[k + 1] - starts[k];
        data += count > kArrayMax ? kBitsetBytes : 2 * count;
    }
    const size_t head = 8 + 8 * chunks;
    buffer.resize(head + data);
    char* out = buffer.data();
    put<uint32_t>(out, kNoRunCookie);
    put<uint32_t>(out + 4, static_cast<uint32_t>(chunks));
    size_t offset = head;
    for (size_t k = 0; k < chunks; ++k) {
        const size_t from = starts[k];
        const size_t to = starts[k + 1];
        const size_t count = to - from;
        put<uint16_t>(out + 8 + 4 * k, static_cast<uint16_t>(ids[from] >> 16));
        put<uint16_t>(out + 10 + 4 * k, static_cast<uint16_t>(count - 1));
        put<uint32_t>(out + 8 + 4 * chunks + 4 * k, static_cast<uint32_t>(offset));
        if (count > kArrayMax) {
            uint64_t words[kBitsetBytes / 8] = {};
            for (size_t t = from; t < to; ++t) words[(ids[t] & 0xFFFFu) >> 6] |= uint64_t{1} << (ids[t] & 63U);
            std::memcpy(out + offset, words, kBitsetBytes);
            offset += kBitsetBytes;
        } else {
            char* at = out + offset;
            for (size_t t = from; t < to; ++t, at += 2) put<uint16_t>(at, static_cast<uint16_t>(ids[t]));
            offset += 2 * count;
        }
    }
    Raw* part = roaring_bitmap_portable_deserialize_safe(buffer.data(), buffer.size());
    if (buffer.capacity() > kKeptBytes) std::vector<char>().swap(buffer);  // kept for small calls only
    if (part == nullptr) fail(kBitmapCreateFailed);
    if (raw_ == nullptr || roaring_bitmap_is_empty(raw_)) {
        std::swap(raw_, part);
    } else {
        roaring_bitmap_or_inplace(raw_, part);
    }
    if (part != nullptr) roaring_bitmap_free(part);
}

bool Bitmap::remove_checked(uint32_t id) {
    if (raw_ == nullptr || !roaring_bitmap_remove_checked(raw_, id)) return false;
    loosen_runs(raw_, static_cast<uint16_t>(id >> 16));
    return true;
}

void Bitmap::remove(uint32_t id) {
    if (raw_ == nullptr) return;
    roaring_bitmap_remove(raw_, id);
    loosen_runs(raw_, static_cast<uint16_t>(id >> 16));
}

void Bitmap::remove_many(std::span<const uint32_t> ids) {
    if (raw_ == nullptr || ids.empty()) return;
    if (ids.size() >= kMergeMin) {
        andnot_inplace(Bitmap(ids));  // one pass a container, as add_ascending
        return;
    }
    roaring_bitmap_remove_many(raw_, ids.size(), ids.data());
    // Each container the ids fell in (once each, for ascending ids).
    for (size_t k = 0; k < ids.size(); ++k) {
        if (k == 0 || (ids[k] >> 16) != (ids[k - 1] >> 16)) loosen_runs(raw_, static_cast<uint16_t>(ids[k] >> 16));
    }
}

namespace {

size_t container_bytes(const roaring::internal::container_t* c, uint8_t type) noexcept {
    using namespace roaring::internal;
    switch (type) {
        case BITSET_CONTAINER_TYPE:
            return heap_chunk(sizeof(bitset_container_t)) + heap_chunk(kBitsetBytes);
        case ARRAY_CONTAINER_TYPE: {
            const array_container_t* array = const_CAST_array(c);
            return heap_chunk(sizeof(array_container_t)) +
                   heap_chunk(static_cast<size_t>(array->capacity) * sizeof(uint16_t));
        }
        case RUN_CONTAINER_TYPE: {
            const run_container_t* run = const_CAST_run(c);
            return heap_chunk(sizeof(run_container_t)) +
                   heap_chunk(static_cast<size_t>(run->capacity) * sizeof(rle16_t));
        }
        case SHARED_CONTAINER_TYPE: {
            // Copy-on-write is never switched on here; if a container were
            // shared, each bitmap holding it would count it.
            const shared_container_t* shared = const_CAST_shared(c);
            return heap_chunk(sizeof(shared_container_t)) +
                   container_bytes(shared->container, shared->typecode);
        }
        default:
            return 0;
    }
}

}  // namespace

std::vector<uint32_t> Bitmap::values_in(uint32_t first, uint64_t past) const {
    std::vector<uint32_t> out;
    const uint64_t count = range_cardinality(first, past);
    if (count == 0) return out;
    out.resize(count);
    roaring_uint32_iterator_t it;
    roaring_iterator_init(raw_, &it);
    roaring_uint32_iterator_move_equalorlarger(&it, first);
    // The count was taken over the same range: exactly that many ids follow `first`.
    const uint32_t got = roaring_uint32_iterator_read(&it, out.data(), static_cast<uint32_t>(count));
    out.resize(got);
    return out;
}

size_t Bitmap::memory_bytes() const noexcept {
    if (raw_ == nullptr) return 0;
    const roaring_array_t& ra = raw_->high_low_container;
    // Container pointers, keys and type codes share one block of the allocated size.
    size_t n = heap_chunk(sizeof(roaring_bitmap_t)) +
               heap_chunk(static_cast<size_t>(ra.allocation_size) *
                          (sizeof(void*) + sizeof(uint16_t) + sizeof(uint8_t)));
    for (int32_t i = 0; i < ra.size; ++i) n += container_bytes(ra.containers[i], ra.typecodes[i]);
    return n;
}

}  // namespace vorlane

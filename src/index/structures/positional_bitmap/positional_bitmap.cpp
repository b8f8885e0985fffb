#include "index/structures/positional_bitmap/positional_bitmap.hpp"

#include "index/structures/heap_bytes.hpp"

#include <optional>
#include <unordered_map>

namespace vorlane {

// --- small form -------------------------------------------------------------

bool PositionalBitmap::small_insert(uint32_t id, std::string_view text) {
    const auto it = small_find(id);
    if (it != small_.end() && it->id == id) {
        it->text.assign(text);
        return true;
    }
    if (small_.size() >= small_limit_) return false;
    small_.insert(it, SmallEntry{id, std::string(text)});
    return true;
}

template <class Match>
Bitmap PositionalBitmap::small_search(Match&& match) const {
    std::vector<uint32_t> ids;
    for (const SmallEntry& e : small_) {
        if (match(std::string_view(e.text))) ids.push_back(e.id);
    }
    return Bitmap(std::span<const uint32_t>(ids));
}

void PositionalBitmap::make_large() {
    if (large_) return;
    large_ = true;
    size_t longest = longest_;
    for (const SmallEntry& e : small_) longest = std::max(longest, e.text.size());
    expand_map(longest);
    for (const SmallEntry& e : small_) add_to_positions(e.id, e.text);
    std::vector<SmallEntry>().swap(small_);
}

// --- both forms ---------------------------------------------------------------

void PositionalBitmap::add_to_positions(uint32_t id, std::string_view text) {
    const size_t n = text.size();
    expand_map(n);
    const size_t s = start_of(n);
    edge(s).bitmap().add(id);
    for (size_t j = 0; j < n; ++j) slot(s + j, static_cast<uint8_t>(text[j])).bitmap().add(id);
    edge(s + n - 1).bitmap().add(id);
    eq_insert(text, id);
}

void PositionalBitmap::insert(uint32_t id, std::string_view text) {
    if (text.empty()) {
        empty_.add(id);
        return;
    }
    settle_removals();
    if (is_small()) {
        if (small_insert(id, text)) return;
        make_large();
    }
    add_to_positions(id, text);
}

void PositionalBitmap::push(uint32_t id, std::string_view text) {
    const size_t n = text.size();
    if (n == 0) {
        empty_.add(id);
        return;
    }
    settle_removals();
    if (is_small()) {
        if (small_insert(id, text)) return;
        make_large();
    }
    expand_map(n);
    const size_t s = start_of(n);
    edge(s).push(id);
    for (size_t j = 0; j < n; ++j) slot(s + j, static_cast<uint8_t>(text[j])).push(id);
    if (n > 1) edge(s + n - 1).push(id);
    eq_insert(text, id);
}

template <class Fn>
void PositionalBitmap::for_each_slot_group(std::span<const std::pair<uint32_t, std::string_view>> entries, Fn&& fn) {
    // Slots numbered position * 257 + byte (or edge); a counting sort by slot
    // keeps each slot's ids in entry order.
    constexpr size_t kPerPosition = kEdgeSlot + 1;
    const size_t slots = len() * kPerPosition;
    const auto each_slot = [&](const auto& visit) {
        for (const auto& [id, text] : entries) {
            const size_t n = text.size();
            if (n == 0 || n > len()) continue;
            const size_t s = start_of(n);
            visit(s * kPerPosition + kEdgeSlot, id);
            for (size_t j = 0; j < n; ++j) visit((s + j) * kPerPosition + static_cast<uint8_t>(text[j]), id);
            if (n > 1) visit((s + n - 1) * kPerPosition + kEdgeSlot, id);
        }
    };
    std::vector<size_t> starts(slots + 1, 0);
    each_slot([&](size_t slot_at, uint32_t) { ++starts[slot_at + 1]; });
    for (size_t i = 0; i < slots; ++i) starts[i + 1] += starts[i];
    std::vector<uint32_t> ids(starts[slots]);
    std::vector<size_t> next(starts.begin(), starts.end() - 1);
    each_slot([&](size_t slot_at, uint32_t id) { ids[next[slot_at]++] = id; });
    for (size_t i = 0; i < slots; ++i) {
        if (starts[i] == starts[i + 1]) continue;
        fn(slot(i / kPerPosition, i % kPerPosition).bitmap(),
           std::span<const uint32_t>(ids.data() + starts[i], starts[i + 1] - starts[i]));
    }
}

void PositionalBitmap::push_many(std::span<const std::pair<uint32_t, std::string_view>> entries) {
    settle_removals();
    size_t k = 0;
    for (; k < entries.size() && is_small(); ++k) push(entries[k].first, entries[k].second);
    entries = entries.subspan(k);
    if (entries.empty()) return;
    size_t longest = 0;
    size_t pushes = 0;
    for (const auto& [id, text] : entries) {
        if (text.empty()) empty_.add(id);
        longest = std::max(longest, text.size());
        pushes += text.size() + 2;
    }
    if (longest == 0) return;
    expand_map(longest);
    if (len() * (kEdgeSlot + 1) > 4 * pushes) {
        // A few long strings: the slot table would outweigh the ids.
        for (const auto& [id, text] : entries) push(id, text);
        return;
    }
    // An id is in a slot once, so ascending entries give ascending slots.
    bool ascending = true;
    for (size_t i = 1; i < entries.size() && ascending; ++i) ascending = entries[i].first > entries[i - 1].first;
    if (push_by_string(entries, ascending)) return;
    for_each_slot_group(entries, [&](Bitmap& bits, std::span<const uint32_t> slot_ids) {
        if (ascending) {
            bits.add_ascending(slot_ids);
        } else {
            bits.add_sorted(slot_ids);
        }
    });
    if (!eq_ids_.active()) fingerprints_.reserve(fingerprints_.size() + entries.size());
    for (size_t k = 0; k < entries.size(); ++k) {
        const auto& [id, text] = entries[k];
        if (text.empty()) continue;
        const bool had_table = eq_ids_.active();
        eq_insert(text, id);
        // Sized once for the rest of the batch rather than grown by steps.
        if (had_table && !eq_ids_.active()) fingerprints_.reserve(fingerprints_.size() + entries.size() - k);
    }
}

bool PositionalBitmap::push_by_string(std::span<const std::pair<uint32_t, std::string_view>> entries, bool ascending) {
    // Only while the table of strings lasts: past it, strings are mostly distinct.
    if (!eq_ids_.active()) return false;
    const size_t most = std::max<size_t>(16, entries.size() / kIdsPerString);
    std::unordered_map<std::string_view, uint32_t, StringKeyHash, std::equal_to<>> number_of;
    std::vector<std::string_view> texts;
    std::vector<std::vector<uint32_t>> ids_of;
    for (const auto& [id, text] : entries) {
        if (text.empty()) continue;
        const auto [it, fresh] = number_of.try_emplace(text, static_cast<uint32_t>(texts.size()));
        if (fresh) {
            if (texts.size() == most) return false;  // nothing entered yet
            texts.push_back(text);
            ids_of.emplace_back();
        }
        ids_of[it->second].push_back(id);
    }
    if (!ascending) {
        for (auto& ids : ids_of) {
            std::sort(ids.begin(), ids.end());
            ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        }
    }
    // Each slot, with the strings covering it: a slot one string covers takes
    // its ids as they are, one several cover takes their union in one merge.
    constexpr size_t kPerPosition = kEdgeSlot + 1;
    std::unordered_map<size_t, std::vector<uint32_t>> covering;
    for (uint32_t t = 0; t < texts.size(); ++t) {
        const std::string_view text = texts[t];
        const size_t n = text.size();
        const size_t at = start_of(n);
        covering[at * kPerPosition + kEdgeSlot].push_back(t);
        for (size_t j = 0; j < n; ++j) covering[(at + j) * kPerPosition + static_cast<uint8_t>(text[j])].push_back(t);
        if (n > 1) covering[(at + n - 1) * kPerPosition + kEdgeSlot].push_back(t);
    }
    std::vector<std::optional<Bitmap>> bits_of(texts.size());
    const auto bits = [&](uint32_t t) -> const Bitmap& {
        if (!bits_of[t]) bits_of[t].emplace(std::span<const uint32_t>(ids_of[t]));
        return *bits_of[t];
    };
    for (const auto& [at, strings] : covering) {
        Bitmap& target = slot(at / kPerPosition, at % kPerPosition).bitmap();
        if (strings.size() == 1) {
            target.add_ascending(ids_of[strings.front()]);
            continue;
        }
        std::vector<const Bitmap*> parts;
        parts.reserve(strings.size());
        for (const uint32_t t : strings) parts.push_back(&bits(t));
        target.or_inplace(Bitmap::or_many(std::span<const Bitmap* const>(parts)));
    }
    for (uint32_t t = 0; t < texts.size(); ++t) {
        const std::span<const uint32_t> ids(ids_of[t]);
        if (eq_ids_.active() &&
            eq_ids_.insert_many(texts[t], ids, [&](const auto& table) { start_fingerprints(table, table.id_count() + ids.size()); })) {
            continue;
        }
        for (const uint32_t id : ids) fingerprints_.insert(fingerprints_.fingerprint(texts[t]), id);
    }
    return true;
}

void PositionalBitmap::reserve(size_t longest) {
    if (is_small()) {
        longest_ = std::max(longest_, longest);
    } else {
        expand_map(longest);
    }
}

void PositionalBitmap::remove(uint32_t id, std::string_view text) {
    if (text.empty()) {
        empty_.remove(id);
        return;
    }
    if (is_small()) {
        const auto it = small_find(id);
        if (it != small_.end() && it->id == id) small_.erase(it);
        return;
    }
    settle_removals();
    remove_from_positions(id, text);
    eq_remove(text, id);
}

void PositionalBitmap::remove_from_positions(uint32_t id, std::string_view text) {
    // Longer than every string entered: it was never entered here (an index
    // that registered the object has not received its values yet).
    if (text.size() > len()) return;
    const size_t s = start_of(text.size());
    edge(s).bitmap().remove(id);
    edge(s + text.size() - 1).bitmap().remove(id);
    for (size_t j = 0; j < text.size(); ++j) slot(s + j, static_cast<uint8_t>(text[j])).bitmap().remove(id);
}

void PositionalBitmap::remove_soon(uint32_t id, std::string_view text) {
    if (text.empty()) {
        empty_.remove(id);
        return;
    }
    if (is_small()) {
        remove(id, text);
        return;
    }
    waiting_.push_back(WaitingChange<std::string>{id, std::string(text), false});
    if (waiting_.size() >= kMaxWaiting) settle_removals();
}

void PositionalBitmap::replace_soon(uint32_t id, std::string_view before, std::string_view after) {
    if (before == after) return;
    // The old string leaves as a removal does (the empty string, which lives in
    // its own set, and the small form change at once).
    remove_soon(id, before);
    if (is_small() || after.empty()) {
        insert(id, after);
        return;
    }
    waiting_.push_back(WaitingChange<std::string>{id, std::string(after), true});
    if (waiting_.size() >= kMaxWaiting) settle_removals();
}

void PositionalBitmap::insert_soon(uint32_t id, std::string_view text) {
    if (is_small() || text.empty()) {
        insert(id, text);
        return;
    }
    waiting_.push_back(WaitingChange<std::string>{id, std::string(text), true});
    if (waiting_.size() >= kMaxWaiting) settle_removals();
}

void PositionalBitmap::settle_removals() {
    if (waiting_.empty()) return;
    std::vector<WaitingChange<std::string>> waiting;
    waiting.swap(waiting_);
    const std::vector<NetChange<std::string>> changes = net_changes(waiting);
    if (changes.size() < kWaitingOneByOne) {
        for (const NetChange<std::string>& c : changes) {
            if (c.leaving != nullptr) {
                remove_from_positions(c.id, *c.leaving);
                eq_remove(*c.leaving, c.id);
            }
            if (c.staying != nullptr) add_to_positions(c.id, *c.staying);
        }
        return;
    }
    // The leaving ids go from the table of strings string by string, and from
    // the slots their strings cover; the staying ids then enter as one group
    // sorted into their slots.
    std::vector<std::pair<uint32_t, std::string_view>> gone;
    std::vector<std::pair<uint32_t, std::string_view>> arriving;
    for (const NetChange<std::string>& c : changes) {
        if (c.leaving != nullptr) gone.emplace_back(c.id, *c.leaving);
        if (c.staying != nullptr) arriving.emplace_back(c.id, *c.staying);
    }
    if (!gone.empty()) {
        // Each slot loses only its own ids (ascending: changes come by id), so
        // no slot is walked whole for ids it never held.
        flush();
        for_each_slot_group(gone, [](Bitmap& bits, std::span<const uint32_t> ids) { bits.remove_many(ids); });
        if (eq_ids_.active()) {
            eq_ids_.remove_batch(gone, [](std::string_view text) { return text; });
        } else {
            for (const auto& [id, text] : gone) eq_remove(text, id);
        }
    }
    if (arriving.empty()) return;
    push_many(arriving);
    flush();  // searches read the bitmaps only
}

void PositionalBitmap::merge_from(const PositionalBitmap& other, const Bitmap& objects) {
    check(!other.has_waiting_removals(), "merging from a structure with removals waiting");
    settle_removals();
    if (!other.empty_.is_empty()) empty_.or_inplace(other.empty_.and_(objects));
    if (other.is_small()) {
        for (const SmallEntry& e : other.small_) {
            if (objects.contains(e.id)) insert(e.id, e.text);
        }
        return;
    }
    expand_map(other.len());
    // Both are centred: `other`'s position p is this map's p + offset.
    const size_t offset = (len() - other.len()) / 2;
    for (size_t p = 0; p < other.len(); ++p) {
        for (size_t which = 0; which <= kEdgeSlot; ++which) {
            const Bitmap& bits = other.slot_bits(p, which);
            if (!bits.is_empty()) slot(p + offset, which).bitmap().or_inplace(bits.and_(objects));
        }
    }
    // A dropped table on either side leaves this one with fingerprints.
    if (eq_ids_.active() && !other.eq_ids_.active()) {
        start_fingerprints(eq_ids_, eq_ids_.id_count() + other.fingerprints_.size());
        eq_ids_.drop();
    }
    if (other.eq_ids_.active()) {
        other.eq_ids_.for_each([&](const std::string& text, uint32_t id) {
            if (objects.contains(id)) eq_insert(text, id);
        });
    } else {
        check(other.fingerprints_.hash_function() == fingerprints_.hash_function(),
              "merging fingerprints of another hash");
        other.fingerprints_.for_each([&](uint32_t fp, uint32_t id) {
            if (objects.contains(id)) fingerprints_.insert(fp, id);
        });
    }
}

void PositionalBitmap::eq_insert(std::string_view text, uint32_t id) {
    if (eq_ids_.active()) {
        eq_ids_.insert(text, id, [&](const auto& table) { start_fingerprints(table, table.id_count() + 1); });
        if (eq_ids_.active()) return;
    }
    fingerprints_.insert(fingerprints_.fingerprint(text), id);
}

void PositionalBitmap::eq_remove(std::string_view text, uint32_t id) {
    if (eq_ids_.active()) {
        eq_ids_.remove(text, id);
    } else {
        fingerprints_.remove(fingerprints_.fingerprint(text), id);
    }
}

void PositionalBitmap::start_fingerprints(const ValueIds<std::string, StringKeyHash>& table, size_t expected) {
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    pairs.reserve(table.id_count());
    table.for_each([&](const std::string& text, uint32_t id) { pairs.emplace_back(fingerprints_.fingerprint(text), id); });
    fingerprints_.assign(std::move(pairs), expected);
}

// --- searches -------------------------------------------------------------------
// A string of n bytes starts at start_of(n) <= c - 1 and ends at or right of
// c - 1, so an edge bitmap left of c - 1 holds only starts and one right of it
// only ends. At c - 1 both meet: one-byte strings (start and end there) and the
// starts of two-byte strings, which also sit in edge(c). The searches below
// separate them so that every answer is exact.

// Ids whose string starts at p.
Bitmap PositionalBitmap::starts_at(size_t p) const { return slot_bits(p, kEdgeSlot).clone(); }

// Ids whose string ends at e.
Bitmap PositionalBitmap::ends_at(size_t e) const {
    Bitmap r = slot_bits(e, kEdgeSlot).clone();
    const size_t c = middle();
    if (e + 1 == c && c < len()) r.andnot_inplace(slot_bits(c, kEdgeSlot));
    return r;
}

void PositionalBitmap::and_bytes(Bitmap& r, size_t from, std::string_view needle) const {
    for (size_t j = 0; j < needle.size() && !r.is_empty(); ++j) {
        r.and_inplace(slot_bits(from + j, static_cast<uint8_t>(needle[j])));
    }
}

Bitmap PositionalBitmap::every_string() const {
    if (is_small()) return small_search([](std::string_view) { return true; });
    Bitmap r;
    for (size_t p = 0; p < middle(); ++p) r.or_inplace(slot_bits(p, kEdgeSlot));
    return r;
}

Bitmap PositionalBitmap::equal(std::string_view needle, const Bitmap* candidates) const {
    if (is_small()) {
        Bitmap r = small_search([&](std::string_view text) { return text == needle; });
        if (candidates != nullptr) r.and_inplace(*candidates);
        return r;
    }
    const size_t n = needle.size();
    if (n == 0 || n > len()) return Bitmap();
    if (eq_ids_.active()) return eq_ids_.find(needle, candidates);
    return fingerprint_equal(needle, candidates);
}

// The ids whose string fingerprints like the needle, each checked against the
// needle's bytes and the edges of its start and end (the string could be
// another one that hashes alike): a few ids cost a few lookups each, where
// intersecting the needle's byte bitmaps costs what those dense bitmaps cost.
Bitmap PositionalBitmap::fingerprint_equal(std::string_view needle, const Bitmap* candidates) const {
    const size_t n = needle.size();
    const size_t start = start_of(n);
    const size_t end = start + n - 1;
    const size_t c = middle();
    const bool left_of_middle = end + 1 == c && c < len();
    std::vector<uint32_t> ids;
    const Bitmap* shared = fingerprints_.find(fingerprints_.fingerprint(needle), ids);
    if (shared != nullptr) {
        Bitmap r = candidates != nullptr ? shared->and_(*candidates) : shared->clone();
        and_bytes(r, start, needle);
        r.and_inplace(slot_bits(start, kEdgeSlot));
        r.and_inplace(slot_bits(end, kEdgeSlot));
        if (left_of_middle) r.andnot_inplace(slot_bits(c, kEdgeSlot));
        return r;
    }
    std::erase_if(ids, [&](uint32_t id) {
        if (candidates != nullptr && !candidates->contains(id)) return true;
        if (!slot_bits(start, kEdgeSlot).contains(id) || !slot_bits(end, kEdgeSlot).contains(id)) return true;
        if (left_of_middle && slot_bits(c, kEdgeSlot).contains(id)) return true;
        for (size_t j = 0; j < n; ++j) {
            if (!slot_bits(start + j, static_cast<uint8_t>(needle[j])).contains(id)) return true;
        }
        return false;
    });
    std::sort(ids.begin(), ids.end());
    return Bitmap(std::span<const uint32_t>(ids));
}

Bitmap PositionalBitmap::equal_any(std::span<const std::string_view> needles, const Bitmap* candidates) const {
    if (!is_small() && eq_ids_.active()) return eq_ids_.union_of(needles, candidates);
    std::vector<Bitmap> parts;
    parts.reserve(needles.size());
    for (const std::string_view needle : needles) parts.push_back(equal(needle, candidates));
    return Bitmap::or_many(std::span<const Bitmap>(parts));
}

// Ids whose string has `needle` at positions `from`...: the needle's own bytes
// are intersected first (they are the selective part), without copying any
// bitmap that is only read.
Bitmap PositionalBitmap::needle_at(size_t from, std::string_view needle) const {
    const Bitmap& first = slot_bits(from, static_cast<uint8_t>(needle[0]));
    if (needle.size() == 1 || first.is_empty()) return first.clone();
    Bitmap t = first.and_(slot_bits(from + 1, static_cast<uint8_t>(needle[1])));
    and_bytes(t, from + 2, needle.substr(2));
    return t;
}

Bitmap PositionalBitmap::starts_with(std::string_view needle) const {
    if (is_small()) return small_search([&](std::string_view text) { return text.starts_with(needle); });
    const size_t n = needle.size();
    if (n == 0) return every_string();
    Bitmap out;
    for (size_t p = 0; p < middle() && p + n <= len(); ++p) {
        // The edge bitmap is dense and the byte bitmaps sparse: intersecting a
        // sparse one into the dense one first costs a lookup per sparse id.
        Bitmap t = slot_bits(p, kEdgeSlot).and_(slot_bits(p, static_cast<uint8_t>(needle[0])));
        and_bytes(t, p + 1, needle.substr(1));
        out.or_inplace(t);
    }
    return out;
}

Bitmap PositionalBitmap::ends_with(std::string_view needle) const {
    if (is_small()) return small_search([&](std::string_view text) { return text.ends_with(needle); });
    const size_t n = needle.size();
    if (n == 0) return every_string();
    Bitmap out;
    const size_t c = middle();
    const size_t lo = std::max(c == 0 ? size_t{0} : c - 1, n - 1);
    for (size_t e = lo; e < len(); ++e) {
        Bitmap t = ends_at(e);
        t.and_inplace(slot_bits(e, static_cast<uint8_t>(needle[n - 1])));
        and_bytes(t, e + 1 - n, needle.substr(0, n - 1));
        out.or_inplace(t);
    }
    return out;
}

Bitmap PositionalBitmap::contains(std::string_view needle) const {
    if (is_small()) return small_search([&](std::string_view text) { return text.find(needle) != std::string_view::npos; });
    const size_t n = needle.size();
    if (n == 0) return every_string();
    Bitmap out;
    for (size_t p = 0; p + n <= len(); ++p) out.or_inplace(needle_at(p, needle));
    return out;
}

size_t PositionalBitmap::memory_bytes() const noexcept {
    size_t n = vector_bytes(levels_);
    for (const auto& position : levels_) {
        n += heap_chunk(sizeof(Position));
        for (const Slot& s : *position) n += s.memory_bytes();
    }
    n += vector_bytes(waiting_);
    for (const WaitingChange<std::string>& change : waiting_) n += string_bytes(change.value);
    n += eq_ids_.memory_bytes() + fingerprints_.memory_bytes() + empty_.memory_bytes();
    n += vector_bytes(small_);
    for (const SmallEntry& e : small_) n += string_bytes(e.text);
    return n;
}

}  // namespace vorlane

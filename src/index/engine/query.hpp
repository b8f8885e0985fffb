#pragma once
// QueryMap: the value index of one attribute inside one index core. Each value
// kind has its own structure: numbers in bit slices of order keys, strings in
// per-position byte bitmaps, booleans in two bitmaps, nested objects as links
// from their holders, anything else in a sharded table of id sets. Elements of
// containers enter under synthetic ids.
#include <array>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "index/engine/stored_item.hpp"
#include "index/structures/buffered_bitmap/buffered_bitmap.hpp"
#include "index/structures/hybrid_set/hybrid_set.hpp"
#include "index/structures/links/link_table.hpp"
#include "index/structures/locks.hpp"
#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/structures/paged_id_map.hpp"
#include "index/structures/paged_vector.hpp"
#include "index/structures/positional_bitmap/positional_bitmap.hpp"
#include "index/structures/shards/hashmap/hashmap.hpp"
#include "index/structures/time_key.hpp"
#include "index/engine/value.hpp"

namespace vorlane {

struct IndexAPI;

struct PyValueStoredHash {
    uint64_t operator()(const PyValue& v) const noexcept { return v.hash(); }
};

using ExactMap = ShardedHashMap<PyValue, HybridSet, PyValueStoredHash>;
using BoolMap = std::array<BufferedBitmap<64>, 2>;  // entry 0: True, entry 1: False
using IdMap = PagedIdMap;

// How a value leaves the number and string structures: at once (a write, which enters a new
// value next), or batched with other removals (an object taken out of the index).
enum class Removal { Now, Batched };

// The element entries of container values: which synthetic ids each holder owns
// and the value entered under each, so that a replaced container is taken out
// exactly, however the container itself changed since. Entries live in one
// vector, chained per holder: adding an element costs no allocation of its own.
class ElementLedger {
public:
    void add(uint32_t eid, uint32_t holder, PyValue value);
    // Takes out every element of `holder`, appending (element id, value) to
    // `out` in entry order.
    void take(uint32_t holder, std::vector<std::pair<uint32_t, PyValue>>& out);
    size_t size() const noexcept { return live_; }
    // Objects (and containers) with elements.
    size_t holders() const noexcept { return holders_; }
    // fn(element id, value) for every element of `holder`, newest first.
    template <class Fn>
    void for_each_of(uint32_t holder, Fn&& fn) const {
        const uint32_t first = first_.find(holder);
        if (first == PagedIdMap::kNone) return;
        for (uint32_t i = first - 1; i != kEnd; i = entries_[i].next) fn(entries_[i].eid, *entries_[i].value);
    }
    // fn(element id, value) for every element of `holder` and of the
    // containers among them, at any depth (containers are elements too).
    template <class Fn>
    void for_each_within(uint32_t holder, Fn&& fn) const {
        std::vector<uint32_t> nested;  // allocated only when a container holds one
        const auto visit = [&](uint32_t eid, const PyValue& value) {
            fn(eid, value);
            if (value.kind() == Kind::Iterable) nested.push_back(eid);
        };
        for_each_of(holder, visit);
        while (!nested.empty()) {
            const uint32_t container = nested.back();
            nested.pop_back();
            for_each_of(container, visit);
        }
    }
    // The entries (free slots too), the free list, the chains' heads and the
    // heap of the values entered (long strings); see heap_bytes.hpp.
    size_t memory_bytes() const noexcept;

private:
    static constexpr uint32_t kEnd = 0xFFFFFFFFu;
    struct Entry {
        uint32_t eid;
        uint32_t holder;
        uint32_t next;  // the holder's next entry, or kEnd
        std::optional<PyValue> value;  // empty: a free slot
    };
    void release(uint32_t slot);

    PagedVector<Entry> entries_;  // never moved as it grows
    std::vector<uint32_t> free_slots_;
    PagedIdMap first_;  // holder -> 1 + index of its first entry
    size_t live_ = 0;
    size_t holders_ = 0;
};

struct QueryMap {
    ExactMap exact;
    RwLock<PositionalBitmap> str_radix_map;
    RwLock<NumericalBitmap> num_ordered;
    RwLock<BoolMap> bool_map;
    // The core whose map this is.
    std::weak_ptr<IndexAPI> owner;
    // Stored object -> nested object it holds through this attribute, directly
    // or as an element of a container at any depth, once per occurrence.
    RwLock<LinkTable> links;
    RwLock<IdMap> mapped_ids;
    RwLock<Bitmap> masked_ids;
    RwLock<ElementLedger> elements;

    explicit QueryMap(std::weak_ptr<IndexAPI> owner);
    QueryMap(const QueryMap&) = delete;
    QueryMap& operator=(const QueryMap&) = delete;
    // Gives the synthetic ids still in use back to the allocator.
    ~QueryMap();

    RwLock<NumericalBitmap>::WriteGuard write_num_ordered() { return num_ordered.write(kMapPoisoned); }
    // The number structure for a search: batched removals are settled first.
    RwLock<NumericalBitmap>::ReadGuard read_num_ordered() const;
    RwLock<PositionalBitmap>::WriteGuard write_str_radix_map() { return str_radix_map.write(kMapPoisoned); }
    // The string structure for a search: batched removals are settled first.
    RwLock<PositionalBitmap>::ReadGuard read_str_radix_map() const;
    RwLock<BoolMap>::WriteGuard get_bool_map_writer() { return bool_map.write(kMapPoisoned); }
    RwLock<IdMap>::WriteGuard get_mapped_ids_writer() { return mapped_ids.write(kMapPoisoned); }
    RwLock<Bitmap>::WriteGuard get_masked_ids_writer() { return masked_ids.write(kMapPoisoned); }

    // Enters value `v` under id `id` by its kind. `root` is the stored object the
    // value belongs to (`id` itself, or the object holding the container whose
    // element `id` is); nested objects are recorded as held by it.
    void insert(const PyValue& v, uint32_t id, uint32_t root);
    // Stored object `id` (a holder, not an element) takes value `after` in place
    // of `before`: a number that stays a number, or a string that stays a
    // string, changes with the structure's next batch (see replace_soon); other
    // values leave and enter at once.
    void replace(const PyValue& before, const PyValue& after, uint32_t id);
    void insert_iterable(const PyIterable& container, uint32_t id, uint32_t root);
    // Records that stored object `holder` holds `nested`; a nested object not
    // stored yet is stored afterwards.
    void hold_nested(uint32_t holder, const StoredIndexable& nested);
    // The same for many (holder, nested object) links at once.
    void hold_many(std::span<const std::pair<uint32_t, const StoredIndexable*>> held);
    // Takes one such link out again; a nested object nothing holds any more
    // leaves the store afterwards (unless it is a member).
    void release_nested(uint32_t holder, const StoredIndexable& nested);
    // The holders of the nested objects `ids` through this attribute.
    Bitmap holders_of(const Bitmap& ids) const { return links.read(kMapPoisoned)->holders_of(ids); }
    // Enters converted elements under fresh synthetic ids held by `id`.
    void enter_elements(std::span<const PyValue> values, uint32_t id, uint32_t root);
    void insert_num_ordered(const PyValue& number, uint32_t id);
    void insert_str(std::string_view text, uint32_t id);
    void insert_exact(const PyValue& v, uint32_t id);

    // Takes value `v` of id `id` out of every structure its kind uses.
    void remove_id(const PyValue& v, uint32_t id, uint32_t root, Removal how = Removal::Now);
    void remove_elements(uint32_t holder, uint32_t root, Removal how = Removal::Now);
    void remove_num_ordered(const PyValue& number, uint32_t id, Removal how = Removal::Now);
    void remove_exact(const PyValue& v, uint32_t id);
    // Drops the exact entry of `v` if its id set became empty.
    void drop_exact_if_empty(const PyValue& v);

    // Replaces synthetic element ids in `ids` by the stored objects holding them.
    void unmask_ids(Bitmap& ids) const;
    // The heap held by every structure of the map (see heap_bytes.hpp), not
    // its own sizeof. Takes each lock of the map for reading, one at a time.
    size_t memory_bytes() const;

    // Whether any container element is entered in this map.
    bool has_elements() const { return !masked_ids.read(kMapPoisoned)->is_empty(); }

    static constexpr const char* kMapPoisoned = "called `Result::unwrap()` on an `Err` value";

};

// The order key of a number (none for NaN) or of a date, time or duration;
// none for other kinds.
std::optional<OrderKey> number_key(const PyValue& v);
// The kinds whose values take an order key (numbers, dates, times, durations).
constexpr bool has_order_key(Kind kind) noexcept { return kind == Kind::Int || kind == Kind::Float || kind == Kind::Time; }

}  // namespace vorlane

#pragma once
// IndexAPI: the shared core of one index. Value maps by attribute id, stored
// items by item id, the ids it answers for, and the parent/child pairs of
// nested objects; each field behind its own lock.
//
// Lock order: an object's index list, then its attribute storage; then in a
// core `index` before `allowed_items` before `items`; `parent_child_map` alone;
// a value map's locks only inside a shared hold of `index`; a child core's
// locks after its owner's.
#include <algorithm>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/m2m/m2m.hpp"

namespace vorlane {

// The value maps of one core by attribute id, only for the attributes its objects
// have: a core costs nothing for the other names the process has interned.
class ValueMaps {
public:
    // The map of `attr`, or null.
    QueryMap* find(uint32_t attr) const noexcept {
        const auto it = std::lower_bound(attrs_.begin(), attrs_.end(), attr);
        return it != attrs_.end() && *it == attr ? maps_[static_cast<size_t>(it - attrs_.begin())].get() : nullptr;
    }
    // The map of `attr`; `fresh` goes there when there is none yet.
    QueryMap& emplace(uint32_t attr, std::unique_ptr<QueryMap> fresh) {
        const auto it = std::lower_bound(attrs_.begin(), attrs_.end(), attr);
        const auto at = static_cast<size_t>(it - attrs_.begin());
        if (it != attrs_.end() && *it == attr) return *maps_[at];
        attrs_.insert(it, attr);
        maps_.insert(maps_.begin() + static_cast<std::ptrdiff_t>(at), std::move(fresh));
        return *maps_[at];
    }
    // fn(attribute id, map) in ascending attribute order.
    template <class Fn>
    void for_each(Fn&& fn) const {
        for (size_t i = 0; i < attrs_.size(); ++i) fn(attrs_[i], *maps_[i]);
    }
    size_t size() const noexcept { return attrs_.size(); }

private:
    std::vector<uint32_t> attrs_;  // ascending
    std::vector<std::unique_ptr<QueryMap>> maps_;
};
using SharedMaps = std::shared_ptr<RwLock<ValueMaps>>;

// Parent/child pairs of nested objects, counted: a holder may hold one nested
// object through several values (a list of it twice), and a pair goes only when
// its last value does.
struct ParentChildMap {
    M2MU32 pairs;
    std::unordered_map<uint64_t, uint32_t> counts;

    void insert(uint32_t parent, uint32_t child);
    // Tells whether `child` is left without any parent by this removal.
    bool remove(uint32_t parent, uint32_t child);
    // Drops every pair (with all its count) whose parent is not in `keep`.
    void retain_parents(const Bitmap& keep);
};

struct IndexAPI;

// A narrowed view: the core it came from and the ids it admits. The view keeps
// the core alive, so the core's objects stay registered with it and writes
// keep reaching the value maps the view reads.
struct FilteredIndexCore {
    std::shared_ptr<const IndexAPI> core;
    Bitmap allowed_items;
};

struct IndexAPI : std::enable_shared_from_this<IndexAPI> {
    SharedMaps index;
    SharedItems items;
    std::shared_ptr<RwLock<Bitmap>> allowed_items;
    std::shared_ptr<RwLock<ParentChildMap>> parent_child_map;
    std::weak_ptr<IndexAPI> parent;
    // Levels of nesting above this core: 0 for an index, 1 for the child index of
    // one of its value maps, and so on.
    uint32_t depth = 0;

    static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {});

    RwLock<ValueMaps>::WriteGuard get_index_writer() const { return index->write(); }
    RwLock<ItemTable>::WriteGuard get_items_writer() const { return items->write(); }
    RwLock<Bitmap>::WriteGuard get_allowed_items_writer() const { return allowed_items->write(); }
    RwLock<ParentChildMap>::WriteGuard get_parent_child_map_writer() const { return parent_child_map->write(); }

    // Stores an object and enters every attribute value. `attributes` is the
    // object's storage, locked by the caller; it is unlocked when this returns.
    void add_object(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, StoredItem stored,
                    Mutex<AttributeMap>::Guard attributes);
    // Adds a batch of objects; ends as adding them one by one would. The value
    // maps' number, string and boolean structures are written once per group of
    // objects through buffered adds.
    // `prepared` (optional) holds converted container elements by container;
    // those no later object of the batch needs are let go of group by group.
    void add_object_many(const std::weak_ptr<IndexAPI>& weak_core, std::vector<StoredItem> batch,
                         PreparedElements* prepared = nullptr);
    // Takes one object out: its values, container elements and nested pairs,
    // and this core's link in its index list. False if the core does not hold
    // it. Nested objects left without a holder are queued on the caller's
    // nested scope.
    bool remove_object(const Indexable& record);
    // The records of `ids`, which have left the allowed set: kept while a view
    // may collect them, else moved to `released` (with any kept before), for
    // the caller to let go of after its locks.
    void retire_records(const Bitmap& ids, std::vector<StoredItem>& released);
    // Merges `other` into this core: its objects, every value of every attribute,
    // container elements, nested objects and their pairs; its objects then hold
    // this core in their index lists. `self` is this core's shared handle.
    void union_with(const std::shared_ptr<IndexAPI>& self, IndexAPI& other);
    // One level of union_with; queues the child indexes to merge next.
    void merge_core(const std::shared_ptr<IndexAPI>& self, IndexAPI& other,
                    std::vector<std::pair<std::shared_ptr<IndexAPI>, IndexAPI*>>& pending);
    // Enters one attribute value of one object.
    void add_index(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, uint32_t attr_id, const PyValue& v);
    // Takes one attribute value of one object out again.
    void remove_index(uint32_t item_id, uint32_t attr_id, const PyValue& v, Removal how = Removal::Now);
    // An attribute write: `old` (if the object had the attribute) out, `value` in,
    // for an object this core holds; nothing for one it does not.
    void replace_value(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, uint32_t attr_id,
                       const PyValue* old, const PyValue& value);
    void register_path(uint32_t parent_id, uint32_t child_id);
    // Tells whether the child is left without any holder.
    bool unregister_path(uint32_t parent_id, uint32_t child_id);

    FilteredIndexCore reduced(std::span<const QueryExpr> filters) const;
    FilteredIndexCore reduced_query(const QueryExpr& expr) const;
    // The allowed ids that satisfy `expr`.
    Bitmap query_ids(const QueryExpr& expr) const;
    // Narrows the core in place to the ids of `keep`, recursively into child cores.
    void keep_only_from_bitmap(const Bitmap& keep);
    // Same, for a caller that already holds `index` shared.
    void keep_only_from_bitmap_locked(const ValueMaps& maps, const Bitmap& keep);
    // The ids of the holders of the nested objects `ids` of this core.
    Bitmap get_parent_from_ids(const Bitmap& ids) const;
};

// Nested objects are followed this many levels deep; dotted paths reach as far.
inline constexpr uint32_t kMaxNestingDepth = 1000;

// Nested objects met while values are entered are stored in their child index
// only after the holder's locks are released, one object at a time: graphs of
// objects that hold each other then never wait on their own locks, and long
// chains are walked iteratively, not by recursion.
// The same goes for a nested object whose last holder let go of it: it leaves
// the child index (and lets go of the objects it holds in turn) afterwards.
struct NestedWork {
    std::weak_ptr<IndexAPI> owner;     // the core holding `holder`
    std::shared_ptr<IndexAPI> child;  // the child index the nested object enters or leaves
    uint32_t holder;
    StoredIndexable nested;
    bool leaving = false;
};
void defer_nested(NestedWork work);

// Owns this thread's deferred nested work for one top-level operation: `run`
// stores it all (and whatever it leads to); leaving without `run` drops it.
class NestedScope {
public:
    NestedScope();
    NestedScope(const NestedScope&) = delete;
    NestedScope& operator=(const NestedScope&) = delete;
    ~NestedScope();
    void run();

private:
    bool outer_;
};

// The placeholder index that never holds anything (entries referring to it are trimmed).
const std::shared_ptr<IndexAPI>& empty_index();

// Query evaluation over the maps of one core (held shared by the caller).
Bitmap evaluate_query(const ValueMaps& maps, const Bitmap& base, const QueryExpr& expr);
Bitmap evaluate_and_queries_vec(const ValueMaps& maps, const Bitmap& base, std::span<const QueryExpr> exprs);

}  // namespace vorlane

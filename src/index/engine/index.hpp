#pragma once
// IndexAPI: the shared core of one index. Value maps by attribute id, stored
// records by object id, the ids it answers for (its members) and the object
// graph of everything it stores; each field behind its own lock.
//
// Lock order: an object's index list, then its attribute storage; then in a
// core `index` before `allowed_items` before `graph` before `items`; a value
// map's locks only inside a hold of `index`, and never while `graph` is held
// for writing (a query reads them under a shared hold of `graph`).
#include <algorithm>
#include <atomic>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "index/engine/answers.hpp"
#include "index/engine/object_graph.hpp"
#include "index/engine/query.hpp"
#include "index/engine/query_ops.hpp"
#include "index/engine/stored_item.hpp"

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
    // The two vectors and every map with its heap (memory.cpp).
    size_t memory_bytes() const;

private:
    std::vector<uint32_t> attrs_;  // ascending
    std::vector<std::unique_ptr<QueryMap>> maps_;
};
using SharedMaps = std::shared_ptr<RwLock<ValueMaps>>;

struct IndexAPI;

// A narrowed view: the core it came from and the ids it admits. The view keeps
// the core alive, so the core's objects stay registered with it and writes
// keep reaching the value maps the view reads. Each view is counted in its
// core from before it reads any set until it is gone: a removal that finds no
// view counted knows no view may collect what it removes.
struct FilteredIndexCore {
    std::shared_ptr<const IndexAPI> core;
    Bitmap allowed_items;

    explicit FilteredIndexCore(std::shared_ptr<const IndexAPI> owner);
    FilteredIndexCore(FilteredIndexCore&& other) noexcept;
    FilteredIndexCore& operator=(FilteredIndexCore&&) = delete;
    FilteredIndexCore(const FilteredIndexCore&) = delete;
    ~FilteredIndexCore();
};

struct IndexAPI : std::enable_shared_from_this<IndexAPI> {
    SharedMaps index;
    SharedItems items;
    // The members: the objects added, which every answer is made of.
    std::shared_ptr<RwLock<Bitmap>> allowed_items;
    // Every stored object (members and the objects they reach) and how often each is held.
    std::shared_ptr<RwLock<ObjectGraph>> graph;
    // Views alive on this core.
    mutable std::atomic<uint32_t> views{0};

    static std::shared_ptr<IndexAPI> create();

    RwLock<ValueMaps>::WriteGuard get_index_writer() const { return index->write(); }
    RwLock<ItemTable>::WriteGuard get_items_writer() const { return items->write(); }
    RwLock<Bitmap>::WriteGuard get_allowed_items_writer() const { return allowed_items->write(); }
    RwLock<ObjectGraph>::WriteGuard get_graph_writer() const { return graph->write(); }

    // --- operations: each runs whole, nested objects included ----------------
    // `prepared` holds the converted container elements of the objects.

    // Makes an object a member: stores it (with the objects it reaches) unless
    // it is stored already.
    void add_object(StoredItem stored, const PreparedElements& prepared);
    // Adds a batch of objects; ends as adding them one by one would. The value
    // maps' number, string and boolean structures are written once per group of
    // objects through buffered adds; those of the batch's containers no later
    // object needs are let go of group by group.
    void add_object_many(std::vector<StoredItem> batch, PreparedElements& prepared);
    // Takes one member out. It stays stored while a stored object holds it;
    // otherwise its values, links and registration go, with whatever only it
    // reached. False if it is not a member. Its record, when it goes, moves to
    // `released`, for the caller to let go of once it holds the interpreter
    // lock again (the last reference then goes at once, not through the queue
    // of references waiting for that lock).
    bool remove_object(const Indexable& record, std::vector<StoredItem>& released);
    // Narrows the members in place to those that satisfy every filter.
    void reduce(std::span<const QueryExpr> filters);
    // A new index of the objects `batch` (the admitted objects of a view).
    static std::shared_ptr<IndexAPI> rebase(std::vector<StoredItem> batch, PreparedElements& prepared);
    // Adds `batch` (another index's members) to this core: the union of both.
    void union_with(std::vector<StoredItem> batch, PreparedElements& prepared) {
        add_object_many(std::move(batch), prepared);
    }

    FilteredIndexCore reduced(std::span<const QueryExpr> filters) const;
    FilteredIndexCore reduced_query(const QueryExpr& expr) const;
    // A view's narrowing: the ids of `base` that satisfy the filters / `expr`.
    FilteredIndexCore narrowed(const Bitmap& base, std::span<const QueryExpr> filters) const;
    FilteredIndexCore narrowed_query(const Bitmap& base, const QueryExpr& expr) const;
    // The records of the ids of `ids` (the members when null).
    std::vector<StoredItem> records(const Bitmap* ids = nullptr) const;
    // `set`, or (when it is null) the members, copied into `storage`.
    const Bitmap& set_or_members(const Bitmap* set, Bitmap& storage) const;

    // --- answers over a set of ids (the members when `base` is null) ---------
    // Each takes one attribute, or a dotted path (answers.hpp, paths.cpp).

    // The ids of `base` in the order of their values of `attr`, at most `limit`.
    std::vector<uint32_t> order_by(uint32_t attr, bool descending, size_t limit, const Bitmap* base) const;
    // Each value of `attr` in `base` with the number of objects holding it, most common first.
    std::vector<CountedValue> count_by(uint32_t attr, const Bitmap* base) const;
    // The key of the smallest (largest) number among the values of `attr` in `base`.
    std::optional<OrderKey> extreme(uint32_t attr, bool largest, const Bitmap* base) const;
    // The numbers among the values of `attr` of `base` (the members when null),
    // container elements included, totalled.
    NumberTotal total(uint32_t attr, const Bitmap* base) const;

    // The same answers along a dotted path: its values are those of its last
    // attribute on the objects its steps lead to from each object of `base`.
    std::vector<uint32_t> order_by(const AttrPath& path, bool descending, size_t limit, const Bitmap* base) const;
    std::vector<CountedValue> count_by(const AttrPath& path, const Bitmap* base) const;
    std::optional<OrderKey> extreme(const AttrPath& path, bool largest, const Bitmap* base) const;
    // A member reaching one object along several routes counts its numbers once.
    NumberTotal total(const AttrPath& path, const Bitmap* base) const;
    // The total over each group of ids (as `base` above; usually disjoint), in
    // order: what total(path, &group) gives for each, for a plain attribute
    // all at once (totals.cpp).
    std::vector<NumberTotal> totals(const AttrPath& path, std::span<const Bitmap> groups) const;
    std::vector<NumberTotal> totals(uint32_t attr, std::span<const Bitmap> groups) const;
    // The groups of `base` by value of `path`: each value count_by gives, in
    // its order, with the objects of `base` that hold it (equal to the query
    // `path == value` within `base`).
    std::vector<std::pair<CountedValue, Bitmap>> groups(const AttrPath& path, const Bitmap* base) const;
    // The stored objects the steps of `path` (all but its last attribute) lead
    // to from the objects of `base`, each with the objects of `base` that reach it.
    PathReach reach(const AttrPath& path, const Bitmap& base, bool with_pairs) const;

    // --- the roads the operations share ---------------------------------------

    // The body of a bulk add, inside its nested scope.
    void enter_batch(std::vector<StoredItem> batch, PreparedElements& prepared);
    // Enters every attribute value of a stored object. `attributes` is its
    // storage, locked by the caller.
    void enter_values(uint32_t item_id, const AttributeMap& attributes);
    // Enters one attribute value of one stored object.
    void add_index(uint32_t item_id, uint32_t attr_id, const PyValue& v);
    // Takes one attribute value of one object out again.
    void remove_index(uint32_t item_id, uint32_t attr_id, const PyValue& v, Removal how = Removal::Now);
    // An attribute write: `old` (if the object had the attribute) out, `value` in,
    // for an object this core stores; nothing for one it does not.
    void replace_value(uint32_t item_id, uint32_t attr_id, const PyValue* old, const PyValue& value);
    // Takes a stored object's values out and its link from its index list:
    // the object is no longer stored. Both its locks are held by the caller.
    void leave_store(const Indexable& record, IndexList& list, const AttributeMap& attributes,
                     std::vector<StoredItem>& released);
    // The records of `ids`, which have left the store: kept while a view
    // may collect them, else moved to `released` (with any kept before), for
    // the caller to let go of after its locks.
    void retire_records(const Bitmap& ids, std::vector<StoredItem>& released);
    // The same for one id.
    void retire_record(uint32_t id, std::vector<StoredItem>& released);
    // Lets go of the records kept for views once no view is left.
    void release_kept_records();

    // The allowed ids of `base` that satisfy `expr` (the members when null).
    Bitmap query_ids(const QueryExpr& expr, const Bitmap* base = nullptr) const;

    // The bytes this core holds: itself, its value maps, members, object graph
    // and records (those kept for views too), not the Python objects stored.
    // Reads each field under its lock, in the lock order; call it without the
    // interpreter lock.
    size_t memory_bytes() const;
};

// Nested objects met while values are entered are stored only after the
// holder's locks are released, one object at a time: graphs of objects that
// hold each other then never wait on their own locks, and long chains are
// walked iteratively, not by recursion. The same goes for a nested object
// whose last holder let go of it, and for a pass over the graph that finds
// objects no member reaches any more.
struct NestedWork {
    enum class Kind : uint8_t { Store, Drop, Trace };
    std::weak_ptr<IndexAPI> core;
    StoredIndexable nested;  // the object as a value holds it; empty for a trace
    Kind kind = Kind::Store;
    // A store of an object the index held a moment ago: the handle it held,
    // when `nested` is empty.
    ObjectHandle held = {};

    PyObject* object() const noexcept { return nested.python_handle ? nested.python_handle.get() : held.get(); }
    const Indexable& record() const noexcept { return indexable_record(object()); }
};
void defer_nested(NestedWork work);

// Owns this thread's deferred nested work for one top-level operation: `run`
// does it all (and whatever it leads to); leaving without `run` drops it.
class NestedScope {
public:
    NestedScope();
    NestedScope(const NestedScope&) = delete;
    NestedScope& operator=(const NestedScope&) = delete;
    ~NestedScope();
    // Whether `run` has anything to do (only the outermost scope runs work).
    bool has_work() const noexcept;
    void run();

private:
    bool outer_;
};

// The placeholder index that never holds anything (entries referring to it are trimmed).
const std::shared_ptr<IndexAPI>& empty_index();

// What a query is evaluated against: the value maps of one core (held shared by
// the caller) and the core, whose stored objects dotted paths start from.
// `members`, when given, are the ids a positive test may find: a view's set
// may still admit objects that have left the index, which narrowing it no
// longer matches (complements within the view still admit them).
struct EvalContext {
    const ValueMaps& maps;
    const IndexAPI& core;
    const Bitmap* members = nullptr;
    // The stored objects, once a dotted path has read them (under the graph's lock).
    const Bitmap* stored = nullptr;
};
Bitmap evaluate_query(const EvalContext& ctx, const Bitmap& base, const QueryExpr& expr);
Bitmap evaluate_and_queries_vec(const EvalContext& ctx, const Bitmap& base, std::span<const QueryExpr> exprs);

}  // namespace vorlane

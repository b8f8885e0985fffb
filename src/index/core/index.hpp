#pragma once
// IndexAPI: the shared core of one index. Value maps by attribute id, stored
// items by item id, the ids it answers for, and the parent/child pairs of
// nested objects; each field behind its own lock.
//
// Lock order: an object's index list, then its attribute storage; then in a
// core `index` before `allowed_items` before `items`; `parent_child_map` alone;
// a value map's locks only inside a shared hold of `index`; a child core's
// locks after its owner's.
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/m2m/m2m.hpp"

namespace vorlane {

using MapVec = std::vector<std::unique_ptr<QueryMap>>;  // null: no map for that attribute yet
using SharedMaps = std::shared_ptr<RwLock<MapVec>>;

// A narrowed view: the live maps and items of a core, and the ids it admits.
struct FilteredIndexCore {
    SharedMaps index;
    SharedItems items;
    Bitmap allowed_items;
};

struct IndexAPI {
    SharedMaps index;
    SharedItems items;
    std::shared_ptr<RwLock<Bitmap>> allowed_items;
    std::shared_ptr<RwLock<M2MU32>> parent_child_map;
    std::weak_ptr<IndexAPI> parent;

    static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {});

    RwLock<MapVec>::WriteGuard get_index_writer() const { return index->write(); }
    RwLock<ItemsVec>::WriteGuard get_items_writer() const { return items->write(); }
    RwLock<Bitmap>::WriteGuard get_allowed_items_writer() const { return allowed_items->write(); }
    RwLock<M2MU32>::WriteGuard get_parent_child_map_writer() const { return parent_child_map->write(); }

    // Stores an object and enters every attribute value. `attributes` is the
    // object's storage, locked by the caller; it is unlocked when this returns.
    void add_object(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, StoredItem stored,
                    Mutex<AttributeMap>::Guard attributes);
    // Enters one attribute value of one object.
    void add_index(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, uint32_t attr_id, const PyValue& v);
    // Takes one attribute value of one object out again.
    void remove_index(uint32_t item_id, uint32_t attr_id, const PyValue& v);
    void register_path(uint32_t parent_id, uint32_t child_id);

    FilteredIndexCore reduced(std::span<const QueryExpr> filters) const;
    FilteredIndexCore reduced_query(const QueryExpr& expr) const;
    // Narrows the core in place to the ids of `keep`, recursively into child cores.
    void keep_only_from_bitmap(const Bitmap& keep);
    // Same, for a caller that already holds `index` shared.
    void keep_only_from_bitmap_locked(const MapVec& maps, const Bitmap& keep);
    // The ids of the holders of the nested objects `ids` of this core.
    Bitmap get_parent_from_ids(const Bitmap& ids) const;
};

// The placeholder index that never holds anything (entries referring to it are trimmed).
const std::shared_ptr<IndexAPI>& empty_index();

// Query evaluation over the maps of one core (held shared by the caller).
Bitmap evaluate_query(const MapVec& maps, const Bitmap& base, const QueryExpr& expr);
Bitmap evaluate_and_queries_vec(const MapVec& maps, const Bitmap& base, std::span<const QueryExpr> exprs);

}  // namespace vorlane

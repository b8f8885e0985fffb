// Narrowing: views by query, and narrowing a core in place.
#include "index/core/index.hpp"

namespace vorlane {

// A view takes its handle on the core before it reads the allowed set: a
// removal that then finds no other handle knows no view admits what it removes.

FilteredIndexCore IndexAPI::reduced(std::span<const QueryExpr> filters) const {
    std::shared_ptr<const IndexAPI> self = shared_from_this();
    Bitmap result;
    {
        auto maps = index->read();
        auto allowed = allowed_items->read();
        result = evaluate_and_queries_vec(*maps, *allowed, filters);
    }
    return FilteredIndexCore{std::move(self), std::move(result)};
}

FilteredIndexCore IndexAPI::reduced_query(const QueryExpr& expr) const {
    std::shared_ptr<const IndexAPI> self = shared_from_this();
    Bitmap ids = query_ids(expr);
    return FilteredIndexCore{std::move(self), std::move(ids)};
}

Bitmap IndexAPI::query_ids(const QueryExpr& expr) const {
    auto maps = index->read();
    auto allowed = allowed_items->read();
    // Results of nodes that may reach past the base are clipped to the allowed ids.
    Bitmap result = evaluate_query(*maps, *allowed, expr);
    result.and_inplace(*allowed);
    return result;
}

void IndexAPI::keep_only_from_bitmap(const Bitmap& keep) {
    // Exclusive: a write to an object being narrowed away either lands before
    // (and is narrowed away with it) or finds it gone.
    auto maps = get_index_writer();
    keep_only_from_bitmap_locked(*maps, keep);
}

void IndexAPI::keep_only_from_bitmap_locked(const ValueMaps& maps, const Bitmap& keep) {
    Bitmap removed;
    {
        auto allowed = get_allowed_items_writer();
        removed = allowed->andnot(keep);
        allowed->and_inplace(keep);
    }
    maps.for_each([&](uint32_t, QueryMap& map) {
        map.retain(keep);
        const auto child = map.child_index();
        if (child == nullptr) return;
        Bitmap children;
        {
            // The pairs of holders narrowed away go with their values.
            auto pairs = child->get_parent_child_map_writer();
            pairs->retain_parents(keep);
            children = pairs->pairs.rights_of(keep);
        }
        child->keep_only_from_bitmap(children);
    });
    // The records of narrowed-away objects stay in an index's `items` while
    // views made before the narrowing may collect them; otherwise they go now,
    // with the objects they hold. A child index has no views.
    std::vector<StoredItem> released;
    if (depth > 0) {
        if (removed.is_empty()) return;
        auto items_guard = get_items_writer();
        removed.for_each([&](uint32_t id) { released.push_back(items_guard->take(id)); });
    } else {
        retire_records(removed, released);  // and those kept for views now gone
    }
}

Bitmap IndexAPI::get_parent_from_ids(const Bitmap& ids) const {
    auto pairs = parent_child_map->read();
    return pairs->pairs.lefts_of(ids);
}

}  // namespace vorlane

// Narrowing: views by query, and narrowing an index in place.
#include "index/engine/index.hpp"

namespace vorlane {

// A view is counted in the core before it reads the allowed set: a removal
// that then finds no view counted knows no view admits what it removes.

FilteredIndexCore IndexAPI::reduced(std::span<const QueryExpr> filters) const {
    FilteredIndexCore view(shared_from_this());
    auto maps = index->read();
    auto allowed = allowed_items->read();
    view.allowed_items = evaluate_and_queries_vec(EvalContext{*maps, *this}, *allowed, filters);
    return view;
}

FilteredIndexCore IndexAPI::reduced_query(const QueryExpr& expr) const {
    FilteredIndexCore view(shared_from_this());
    view.allowed_items = query_ids(expr);
    return view;
}

FilteredIndexCore IndexAPI::narrowed(const Bitmap& base, std::span<const QueryExpr> filters) const {
    FilteredIndexCore view(shared_from_this());
    auto maps = index->read();
    auto members = allowed_items->read();
    view.allowed_items = evaluate_and_queries_vec(EvalContext{*maps, *this, &*members}, base, filters);
    return view;
}

FilteredIndexCore IndexAPI::narrowed_query(const Bitmap& base, const QueryExpr& expr) const {
    FilteredIndexCore view(shared_from_this());
    view.allowed_items = query_ids(expr, &base);
    return view;
}

Bitmap IndexAPI::query_ids(const QueryExpr& expr, const Bitmap* base) const {
    auto maps = index->read();
    auto members = allowed_items->read();
    const Bitmap* live = base != nullptr ? &*members : nullptr;
    if (base == nullptr) base = &*members;
    // Results of nodes that may reach past the base are clipped to it: a view
    // never admits more than the set it was narrowed from.
    Bitmap result = evaluate_query(EvalContext{*maps, *this, live}, *base, expr);
    result.and_inplace(*base);
    return result;
}

void IndexAPI::reduce(std::span<const QueryExpr> filters) {
    NestedScope nested;
    {
        // Evaluate and narrow under one exclusive hold of `index`: no write
        // lands between the two.
        auto maps = get_index_writer();
        auto allowed = get_allowed_items_writer();
        Bitmap keep = evaluate_and_queries_vec(EvalContext{*maps, *this}, *allowed, filters);
        allowed->and_inplace(keep);
    }
    // Objects narrowed away stay stored while a member reaches them; the rest
    // leave, with what only they reached, by one pass over the graph.
    defer_nested(NestedWork{weak_from_this(), StoredIndexable{}, NestedWork::Kind::Trace});
    nested.run();
    release_kept_records();
}

}  // namespace vorlane

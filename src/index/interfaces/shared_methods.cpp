#include "index/interfaces/shared_methods.hpp"

#include <utility>

#include "index/interfaces/boundary.hpp"
#include "index/interfaces/columns.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/membership.hpp"
#include "index/interfaces/query.hpp"
#include "python/gil.hpp"

namespace vorlane {

const char* const kCollectDoc = "collect($self)\n--\n\n";
const char* const kReducedDoc = "reduced($self, **kwargs)\n--\n\n";
const char* const kReducedQueryDoc = "reduced_query($self, query)\n--\n\n";

namespace {

// fn(ids) over the ids the scope admits: a view's own set, or the core's
// members read-locked (waiting, if it must, with the interpreter lock released).
template <class Fn>
decltype(auto) with_admitted(const Scope& scope, Fn&& fn) {
    if (scope.base != nullptr) return fn(*scope.base);
    const auto& members = *scope.core.allowed_items;
    auto allowed = py::lock_with_gil([&] { return members.try_read(); }, [&] { return members.read(); });
    return fn(*allowed);
}

}  // namespace

PyObject* scope_collect(const Scope& scope) {
    return py::guarded_object(
        [&] { return with_admitted(scope, [&](const Bitmap& ids) { return collect_items(*scope.core.items, ids); }); });
}

Py_ssize_t scope_len(const Scope& scope) {
    return py::guarded(Py_ssize_t{-1}, [&] { return with_admitted(scope, count_admitted); });
}

int scope_contains(const Scope& scope, PyObject* obj) {
    return py::guarded(-1, [&] {
        return with_admitted(scope, [&](const Bitmap& ids) { return holds_object(*scope.core.items, ids, obj) ? 1 : 0; });
    });
}

PyObject* scope_iter(const Scope& scope) {
    return py::guarded_object(
        [&] { return with_admitted(scope, [&](const Bitmap& ids) { return iterate_admitted(*scope.core.items, ids); }); });
}

PyObject* scope_reduced(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        std::vector<QueryExpr> filters = keyword_filters(args, nargs, kwnames, "reduced");
        FilteredIndexCore view = py::without_gil([&] {
            return scope.base != nullptr ? scope.core.narrowed(*scope.base, filters) : scope.core.reduced(filters);
        });
        return wrap_filtered_index(std::move(view), scope.owner);
    });
}

PyObject* scope_reduced_query(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [query] = py::bind_args<1>("reduced_query", {"query"}, args, nargs, kwnames);
        QueryExpr expr = query_expr_argument("query", query).clone();
        FilteredIndexCore view = py::without_gil([&] {
            return scope.base != nullptr ? scope.core.narrowed_query(*scope.base, expr) : scope.core.reduced_query(expr);
        });
        return wrap_filtered_index(std::move(view), scope.owner);
    });
}

PyObject* scope_columns(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] { return make_columns(scope.core, scope.base, args, nargs, kwnames); });
}

}  // namespace vorlane

#include "index/interfaces/filtered_index.hpp"

#include <new>

#include "index/interfaces/answers.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/columns.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/membership.hpp"
#include "index/interfaces/query.hpp"
#include "index/interfaces/types.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/boundary.hpp"
#include "python/gil.hpp"

namespace vorlane {

PyObject* wrap_filtered_index(FilteredIndexCore view, PyObject* owner) {
    PyTypeObject* type = filtered_index_type();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw py::PyErrAlreadySet();
    new (&reinterpret_cast<PyFilteredIndexObject*>(self)->view) FilteredIndexCore(std::move(view));
    reinterpret_cast<PyFilteredIndexObject*>(self)->owner = Py_XNewRef(owner);
    return self;
}

namespace {

// The objects of `ids` (a bitmap, or a list in its own order) as a new list,
// made at its final size and filled in place; an id whose record is not
// stored (an add still under way, an object that left) is left out.
template <class Ids>
PyObject* list_of_objects(const RwLock<ItemTable>& items, const Ids& ids, size_t count) {
    py::PyRef list = py::PyRef::checked(PyList_New(static_cast<Py_ssize_t>(count)));
    PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    Py_ssize_t filled = 0;
    const Py_ssize_t room = PyList_GET_SIZE(list.get());
    {
        auto guard = py::lock_with_gil([&] { return items.try_read(); }, [&] { return items.read(); });
        guard->for_each_object(ids, [&](PyObject* obj) {
            if (filled == room) return;
            Py_INCREF(obj);
            slots[filled++] = obj;
        });
    }
    // Drop the unfilled tail (its slots are still null).
    if (filled != room) Py_SET_SIZE(list.get(), filled);
    return list.release();
}

}  // namespace

PyObject* collect_items(const RwLock<ItemTable>& items, const Bitmap& allowed) {
    return list_of_objects(items, allowed, allowed.cardinality());
}

PyObject* collect_items(const RwLock<ItemTable>& items, std::span<const uint32_t> ids) {
    return list_of_objects(items, ids, ids.size());
}

PreparedElements prepare_batch(const std::vector<StoredItem>& batch) {
    PreparedElements prepared;
    for (const StoredItem& stored : batch) prepare_for_index(stored.record(), prepared);
    return prepared;
}

std::vector<QueryExpr> keyword_filters(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname) {
    py::refuse_positional(fname, nargs);
    std::vector<QueryExpr> filters;
    for (auto& [path, value] : kwargs_to_query(kwnames, args)) {
        filters.push_back(QueryExpr{q::Eq{std::move(path), std::move(value)}});
    }
    return filters;
}

namespace {

FilteredIndexCore& view_of(PyObject* self) { return reinterpret_cast<PyFilteredIndexObject*>(self)->view; }

PyObject* fi_collect(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        const FilteredIndexCore& view = view_of(self);
        return collect_items(*view.core->items, view.allowed_items);
    });
}

Py_ssize_t fi_len(PyObject* self) {
    return py::guarded(Py_ssize_t{-1}, [&] { return count_admitted(view_of(self).allowed_items); });
}

int fi_contains(PyObject* self, PyObject* obj) {
    return py::guarded(-1, [&] {
        const FilteredIndexCore& view = view_of(self);
        return holds_object(*view.core->items, view.allowed_items, obj) ? 1 : 0;
    });
}

PyObject* fi_iter(PyObject* self) {
    return py::guarded_object([&] {
        const FilteredIndexCore& view = view_of(self);
        return iterate_admitted(*view.core->items, view.allowed_items);
    });
}

PyObject* fi_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        std::vector<QueryExpr> filters = keyword_filters(args, nargs, kwnames, "reduced");
        const FilteredIndexCore& view = view_of(self);
        FilteredIndexCore narrowed =
            py::without_gil([&] { return view.core->narrowed(view.allowed_items, filters); });
        return wrap_filtered_index(std::move(narrowed), reinterpret_cast<PyFilteredIndexObject*>(self)->owner);
    });
}

PyObject* fi_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [query] = py::bind_args<1>("reduced_query", {"query"}, args, nargs, kwnames);
        QueryExpr expr = query_expr_argument("query", query).clone();
        const FilteredIndexCore& view = view_of(self);
        FilteredIndexCore narrowed =
            py::without_gil([&] { return view.core->narrowed_query(view.allowed_items, expr); });
        return wrap_filtered_index(std::move(narrowed), reinterpret_cast<PyFilteredIndexObject*>(self)->owner);
    });
}

PyObject* fi_rebase(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        const FilteredIndexCore& view = view_of(self);
        std::vector<StoredItem> batch = py::without_gil([&] { return view.core->records(&view.allowed_items); });
        // Containers convert now, with the interpreter lock: one that cannot
        // makes the call fail before the new index exists.
        PreparedElements prepared = prepare_batch(batch);
        std::shared_ptr<IndexAPI> core = py::without_gil([&] { return IndexAPI::rebase(std::move(batch), prepared); });
        return wrap_index(std::move(core));
    });
}

PyObject* fi_order_by(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FilteredIndexCore& view = view_of(self);
    return answer_order_by(*view.core, &view.allowed_items, args, kwargs);
}

PyObject* fi_count_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FilteredIndexCore& view = view_of(self);
    return answer_count_by(*view.core, &view.allowed_items, args, nargs, kwnames);
}

PyObject* fi_min(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FilteredIndexCore& view = view_of(self);
    return answer_extreme(*view.core, &view.allowed_items, false, args, nargs, kwnames);
}

PyObject* fi_max(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FilteredIndexCore& view = view_of(self);
    return answer_extreme(*view.core, &view.allowed_items, true, args, nargs, kwnames);
}

// A view is an answer over its index, not data of its own: no pickling or copying.
PyObject* fi_reduce(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle or copy '%s' object: rebase() it into an Index first",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

PyObject* fi_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        const FilteredIndexCore& view = view_of(self);
        return make_columns(*view.core, &view.allowed_items, args, nargs, kwnames);
    });
}

int filtered_index_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyFilteredIndexObject*>(self)->owner);
    return 0;
}

// Breaks a cycle through the view: it lets go of its index and of the core,
// and stays usable, empty.
int filtered_index_clear(PyObject* self) {
    try {
        FilteredIndexCore empty(IndexAPI::create());
        FilteredIndexCore& view = view_of(self);
        view.~FilteredIndexCore();
        new (&view) FilteredIndexCore(std::move(empty));
    } catch (...) {
        // No memory for an empty core: the view keeps what it reads.
    }
    Py_CLEAR(reinterpret_cast<PyFilteredIndexObject*>(self)->owner);
    py::release_pending();
    return 0;
}

void filtered_index_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<PyFilteredIndexObject*>(self)->owner);
    view_of(self).~FilteredIndexCore();
    type->tp_free(self);
    Py_DECREF(type);
    py::release_pending();
}

// The object and its own set of ids; the index it was made from counts its core.
PyObject* fi_sizeof(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        const size_t total =
            static_cast<size_t>(Py_TYPE(self)->tp_basicsize) + view_of(self).allowed_items.memory_bytes();
        return py::PyRef::checked(PyLong_FromSize_t(total)).release();
    });
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef kMethods[] = {
    {"reduced", py::method_ptr(fi_reduced), kFastKw, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", py::method_ptr(fi_reduced_query), kFastKw, "reduced_query($self, query)\n--\n\n"},
    {"collect", py::method_ptr(fi_collect), METH_NOARGS, "collect($self)\n--\n\n"},
    {"rebase", py::method_ptr(fi_rebase), METH_NOARGS, "rebase($self)\n--\n\n"},
    {"order_by", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fi_order_by)),
     METH_VARARGS | METH_KEYWORDS, kOrderByDoc},
    {"count_by", py::method_ptr(fi_count_by), kFastKw, kCountByDoc},
    {"min", py::method_ptr(fi_min), kFastKw, kMinDoc},
    {"max", py::method_ptr(fi_max), kFastKw, kMaxDoc},
    {"__reduce__", py::method_ptr(fi_reduce), METH_NOARGS, "__reduce__($self, /)\n--\n\nViews cannot be pickled."},
    {"__sizeof__", py::method_ptr(fi_sizeof), METH_NOARGS,
     "__sizeof__($self, /)\n--\n\nThe bytes the view holds: the object and its set of ids; the index it reads "
     "is counted by the index it was made from."},
    {"columns", py::method_ptr(fi_columns), kFastKw,
     kColumnsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_filtered_index_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("")},
        {Py_tp_methods, kMethods},
        {Py_tp_dealloc, reinterpret_cast<void*>(filtered_index_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(filtered_index_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(filtered_index_clear)},
        {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
        {Py_sq_length, reinterpret_cast<void*>(fi_len)},
        {Py_sq_contains, reinterpret_cast<void*>(fi_contains)},
        {Py_tp_iter, reinterpret_cast<void*>(fi_iter)},
        {0, nullptr},
    };
    PyType_Spec type_spec = {"PyVorlane.FilteredIndex", sizeof(PyFilteredIndexObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                 Py_TPFLAGS_HAVE_GC,
                             slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace vorlane

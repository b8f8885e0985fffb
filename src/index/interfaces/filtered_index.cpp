#include "index/interfaces/filtered_index.hpp"

#include <new>
#include <vector>

#include "index/interfaces/shared_methods.hpp"
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

FilteredIndexCore& view_of(PyObject* self) { return reinterpret_cast<PyFilteredIndexObject*>(self)->view; }

// A view's methods read its own set over its core.
Scope scope_of(PyObject* self) {
    const FilteredIndexCore& view = view_of(self);
    return Scope{*view.core, &view.allowed_items, reinterpret_cast<PyFilteredIndexObject*>(self)->owner};
}

PyObject* fi_rebase(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        const FilteredIndexCore& view = view_of(self);
        std::vector<StoredItem> batch = py::without_gil([&] { return view.core->records(&view.allowed_items); });
        std::shared_ptr<IndexAPI> core =
            enter_batch(std::move(batch), [](std::vector<StoredItem> objs, PreparedElements& prepared) {
                return IndexAPI::rebase(std::move(objs), prepared);
            });
        return wrap_index(std::move(core));
    });
}

// A view is an answer over its index, not data of its own: no pickling or copying.
PyObject* fi_reduce(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle or copy '%s' object: rebase() it into an Index first",
                 Py_TYPE(self)->tp_name);
    return nullptr;
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

using Shared = SharedMethods<scope_of>;

// The view's own methods; those it shares with Index follow them.
PyMethodDef* methods() {
    return Shared::table({
        {"rebase", py::method_ptr(fi_rebase), METH_NOARGS, "rebase($self)\n--\n\n"},
        {"__reduce__", py::method_ptr(fi_reduce), METH_NOARGS, "__reduce__($self, /)\n--\n\nViews cannot be pickled."},
        {"__sizeof__", py::method_ptr(fi_sizeof), METH_NOARGS,
         "__sizeof__($self, /)\n--\n\nThe bytes the view holds: the object and its set of ids; the index it "
         "reads is counted by the index it was made from."},
    });
}

}  // namespace

PyTypeObject* create_filtered_index_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("")},
        {Py_tp_methods, methods()},
        {Py_tp_dealloc, reinterpret_cast<void*>(filtered_index_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(filtered_index_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(filtered_index_clear)},
        {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
        {Py_sq_length, reinterpret_cast<void*>(&Shared::len)},
        {Py_sq_contains, reinterpret_cast<void*>(&Shared::contains)},
        {Py_tp_iter, reinterpret_cast<void*>(&Shared::iter)},
        {0, nullptr},
    };
    return make_type("PyVorlane.FilteredIndex", sizeof(PyFilteredIndexObject), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, slots);
}

}  // namespace vorlane

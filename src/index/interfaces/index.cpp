#include "index/interfaces/index.hpp"

#include <new>
#include <vector>

#include "index/engine/index.hpp"
#include "index/engine/record.hpp"
#include "index/interfaces/shared_methods.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/columns.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/membership.hpp"
#include "index/interfaces/query.hpp"
#include "index/interfaces/types.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/boundary.hpp"
#include "python/gil.hpp"

namespace vorlane {

namespace {

IndexAPI& core_of(PyObject* self) { return *reinterpret_cast<PyIndexObject*>(self)->core; }

// An index's methods read its members; its views hold the index itself.
Scope scope_of(PyObject* self) { return Scope{core_of(self), nullptr, self}; }

PyObject* index_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return py::guarded_object([&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
            py::raise(PyExc_TypeError, "Index() takes no arguments");
        }
        (void)cls;  // Index cannot be subclassed
        return wrap_index(IndexAPI::create());
    });
}

}  // namespace

PyObject* wrap_index(std::shared_ptr<IndexAPI> core) {
    PyTypeObject* type = index_type();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw py::PyErrAlreadySet();
    new (&reinterpret_cast<PyIndexObject*>(self)->core) std::shared_ptr<IndexAPI>(std::move(core));
    new (&reinterpret_cast<PyIndexObject*>(self)->collector) CollectorView();
    return self;
}

namespace {

void index_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyIndexObject*>(self)->collector.~CollectorView();
    reinterpret_cast<PyIndexObject*>(self)->core.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
    py::release_pending();
}

// The objects only this index holds (its views hold the index object itself).
int index_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* index = reinterpret_cast<PyIndexObject*>(self);
    if (index->core == nullptr) return 0;  // not made yet
    return index->collector.traverse(*index->core, visit, arg);
}

// Breaks a cycle through the index, which the collector found unreachable:
// it lets go of its core and stays usable, empty.
int index_clear(PyObject* self) {
    auto* index = reinterpret_cast<PyIndexObject*>(self);
    index->collector.forget();
    try {
        std::shared_ptr<IndexAPI> gone = std::exchange(index->core, IndexAPI::create());
    } catch (...) {
        // No memory for an empty core: the index keeps what it holds.
    }
    py::release_pending();
    return 0;
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [py_ref] = py::bind_args<1>("add_object", {"py_ref"}, args, nargs, kwnames);
        if (!PyObject_TypeCheck(py_ref, indexable_type())) py::raise_argument_type("py_ref", "Indexable", py_ref);
        PreparedElements prepared;
        prepare_for_index(indexable_record(py_ref), prepared);
        StoredItem stored{ObjectHandle::from_python(py_ref)};
        py::without_gil([&] { core_of(self).add_object(std::move(stored), prepared); });
        Py_RETURN_NONE;
    });
}

PyObject* index_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [obj] = py::bind_args<1>("remove_object", {"obj"}, args, nargs, kwnames);
        if (!PyObject_TypeCheck(obj, indexable_type())) py::raise_argument_type("obj", "Indexable", obj);
        const Indexable& record = indexable_record(obj);
        std::vector<StoredItem> released;  // let go of with the interpreter lock held
        const bool removed = py::without_gil([&] { return core_of(self).remove_object(record, released); });
        released.clear();
        if (!removed) {
            PyErr_SetObject(PyExc_KeyError, obj);
            throw py::PyErrAlreadySet();
        }
        Py_RETURN_NONE;
    });
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [objs] = py::bind_args<1>("add_object_many", {"objs"}, args, nargs, kwnames);
        if (PyUnicode_Check(objs)) py::raise(PyExc_TypeError, "argument 'objs': can't extract a sequence from a str");
        if (!PySequence_Check(objs)) py::raise_argument_type("objs", "Sequence", objs);
        py::PyRef items = py::PyRef::checked(PySequence_List(objs));
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* obj = PyList_GET_ITEM(items.get(), i);
            if (!PyObject_TypeCheck(obj, indexable_type())) {
                py::raise(PyExc_TypeError, std::string("argument 'objs': element ") + std::to_string(i) +
                                               " is '" + Py_TYPE(obj)->tp_name + "', not an Indexable");
            }
        }
        std::vector<StoredItem> batch;
        batch.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) batch.push_back(StoredItem{ObjectHandle::from_python(PyList_GET_ITEM(items.get(), i))});
        enter_batch(std::move(batch), [&](std::vector<StoredItem> objs, PreparedElements& prepared) {
            core_of(self).add_object_many(std::move(objs), prepared);
        });
        Py_RETURN_NONE;
    });
}

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [other] = py::bind_args<1>("union_with", {"other"}, args, nargs, kwnames);
        if (!PyObject_TypeCheck(other, index_type())) py::raise_argument_type("other", "Index", other);
        if (other == self) Py_RETURN_NONE;  // a union with itself changes nothing
        const IndexAPI& theirs = core_of(other);
        std::vector<StoredItem> batch = py::without_gil([&] { return theirs.records(); });
        enter_batch(std::move(batch), [&](std::vector<StoredItem> objs, PreparedElements& prepared) {
            core_of(self).union_with(std::move(objs), prepared);
        });
        Py_RETURN_NONE;
    });
}

// The index's allowed set, read-locked while the interpreter lock is held.
RwLock<Bitmap>::ReadGuard read_allowed(const IndexAPI& core) {
    return py::lock_with_gil([&] { return core.allowed_items->try_read(); }, [&] { return core.allowed_items->read(); });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        std::vector<QueryExpr> filters = keyword_filters(args, nargs, kwnames, "get_by_attribute");
        FilteredIndexCore view = py::without_gil([&] { return core_of(self).reduced(filters); });
        return collect_items(*view.core->items, view.allowed_items);
    });
}

PyObject* index_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        std::vector<QueryExpr> filters = keyword_filters(args, nargs, kwnames, "reduce");
        py::without_gil([&] { core_of(self).reduce(filters); });
        Py_RETURN_NONE;
    });
}

// Pickling: an index is rebuilt from its members, the objects pickled as they
// pickle themselves (what they reach comes with them), by one bulk add.
PyObject* index_reduce_ex(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        py::PyRef members = py::PyRef::checked(scope_collect(scope_of(self)));
        return py::PyRef::checked(Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), members.get()))
            .release();
    });
}

PyObject* index_setstate(PyObject* self, PyObject* state) {
    return py::guarded_object([&] {
        if (!PyList_Check(state)) py::raise_argument_type("state", "list", state);
        if (count_admitted(*read_allowed(core_of(self))) != 0) {
            py::raise(PyExc_ValueError, "__setstate__() loads into an empty index only");
        }
        PyObject* args[] = {state};
        return py::PyRef::checked(index_add_object_many(self, args, 1, nullptr)).release();
    });
}

// The object and everything its core holds; the objects stored are not counted.
PyObject* index_sizeof(PyObject* self, PyObject*) {
    return py::guarded_object([&] {
        const IndexAPI& core = core_of(self);
        const size_t core_bytes = py::without_gil([&] { return core.memory_bytes(); });
        const size_t total = static_cast<size_t>(Py_TYPE(self)->tp_basicsize) + core_bytes;
        return py::PyRef::checked(PyLong_FromSize_t(total)).release();
    });
}

using Shared = SharedMethods<scope_of>;

// The index's own methods; those it shares with FilteredIndex follow them.
PyMethodDef* methods() {
    constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
    return Shared::table({
        {"__reduce__", py::method_ptr(index_reduce_ex), METH_NOARGS,
         "__reduce__($self, /)\n--\n\nPickles the index as its members: loading adds them back in one bulk add."},
        {"__setstate__", py::method_ptr(index_setstate), METH_O,
         "__setstate__($self, state, /)\n--\n\nLoads the members of a pickled index into this empty index."},
        {"reduce", py::method_ptr(index_reduce), kFastKw, "reduce($self, **kwargs)\n--\n\n"},
        {"get_by_attribute", py::method_ptr(index_get_by_attribute), kFastKw,
         "get_by_attribute($self, **kwargs)\n--\n\n"},
        {"add_object_many", py::method_ptr(index_add_object_many), kFastKw, "add_object_many($self, objs)\n--\n\n"},
        {"add_object", py::method_ptr(index_add_object), kFastKw, "add_object($self, py_ref)\n--\n\n"},
        {"remove_object", py::method_ptr(index_remove_object), kFastKw, "remove_object($self, obj)\n--\n\n"},
        {"union_with", py::method_ptr(index_union_with), kFastKw, "union_with($self, other)\n--\n\n"},
        {"__sizeof__", py::method_ptr(index_sizeof), METH_NOARGS,
         "__sizeof__($self, /)\n--\n\nThe bytes the index holds: the object, its value maps, members, object "
         "graph and records (those kept for views too), not the objects stored."},
    });
}

}  // namespace

PyTypeObject* create_index_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(index_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
        {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
        {Py_tp_methods, methods()},
        {Py_sq_length, reinterpret_cast<void*>(&Shared::len)},
        {Py_sq_contains, reinterpret_cast<void*>(&Shared::contains)},
        {Py_tp_iter, reinterpret_cast<void*>(&Shared::iter)},
        {0, nullptr},
    };
    return make_type("PyVorlane.Index", sizeof(PyIndexObject), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, slots);
}

}  // namespace vorlane

#include "index/interfaces/membership.hpp"

#include <algorithm>

#include "index/engine/record.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/types.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

namespace {

// An empty list with room for `count` items, whose item array is not cleared
// first (PyList_New(count) clears it, which for a large answer costs a pass
// over memory of its own): the caller fills it and sets its size.
py::PyRef list_with_room(size_t count) {
#ifdef Py_GIL_DISABLED
    py::PyRef list = py::PyRef::checked(PyList_New(static_cast<Py_ssize_t>(count)));
    Py_SET_SIZE(list.get(), 0);
#else
    py::PyRef list = py::PyRef::checked(PyList_New(0));
    if (count != 0) {
        auto* items = static_cast<PyObject**>(PyMem_Malloc(count * sizeof(PyObject*)));
        if (items == nullptr) {
            PyErr_NoMemory();
            throw py::PyErrAlreadySet();
        }
        auto* raw = reinterpret_cast<PyListObject*>(list.get());
        raw->ob_item = items;
        raw->allocated = static_cast<Py_ssize_t>(count);
    }
#endif
    return list;
}

// The objects of `ids` (a bitmap, or a list in its own order) as a new list,
// made at its final size and filled in place; an id whose record is not
// stored (an add still under way, an object that left) is left out.
template <class Ids>
PyObject* list_of_objects(const RwLock<ItemTable>& items, const Ids& ids, size_t count) {
    py::PyRef list = list_with_room(count);
    PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    Py_ssize_t filled = 0;
    const auto room = static_cast<Py_ssize_t>(count);
    {
        auto guard = py::lock_with_gil([&] { return items.try_read(); }, [&] { return items.read(); });
        guard->for_each_object(ids, [&](std::span<PyObject* const> objects) {
            const size_t take = std::min(objects.size(), static_cast<size_t>(room - filled));
            PyObject** out = slots + filled;
            for (size_t i = 0; i < take; ++i) {
                PyObject* obj = objects[i];
                Py_INCREF(obj);
                out[i] = obj;
            }
            filled += static_cast<Py_ssize_t>(take);
        });
    }
    Py_SET_SIZE(list.get(), filled);
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

Py_ssize_t count_admitted(const Bitmap& allowed) { return static_cast<Py_ssize_t>(allowed.cardinality()); }

bool holds_object(const RwLock<ItemTable>& items, const Bitmap& allowed, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, indexable_type())) return false;
    const uint32_t id = indexable_record(obj).id;
    if (!allowed.contains(id)) return false;
    auto guard = py::lock_with_gil([&] { return items.try_read(); }, [&] { return items.read(); });
    const StoredItem* stored = guard->find(id);
    return stored != nullptr && stored->py_item.get() == obj;
}

PyObject* iterate_admitted(const RwLock<ItemTable>& items, const Bitmap& allowed) {
    // The iterator walks a list of its own: later changes to the index do not
    // reach an iteration under way, as with collect().
    py::PyRef list = py::PyRef::steal(collect_items(items, allowed));
    return py::PyRef::checked(PyObject_GetIter(list.get())).release();
}

}  // namespace vorlane

#include "index/interfaces/membership.hpp"

#include "index/engine/record.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/types.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

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

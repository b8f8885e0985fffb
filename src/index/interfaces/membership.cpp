#include "index/interfaces/membership.hpp"

#include "index/engine/record.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/types.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

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

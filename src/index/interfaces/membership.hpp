#pragma once
// The objects of an index as Python sees them: lists of them in collect()
// order, their number, membership by an object's id, iteration, and readying
// a batch of them for an index. Interpreter lock held throughout.
#include <Python.h>

#include "index/engine/index.hpp"
#include "python/gil.hpp"

namespace vorlane {

// len(): the ids admitted, counted without building a list.
Py_ssize_t count_admitted(const Bitmap& allowed);

// `obj in ...`: whether `obj` is the object stored under its id and that id is
// admitted. Anything that is not an Indexable is in no index.
bool holds_object(const RwLock<ItemTable>& items, const Bitmap& allowed, PyObject* obj);

// The objects of `allowed` in ascending id order, as a new list.
PyObject* collect_items(const RwLock<ItemTable>& items, const Bitmap& allowed);
// The objects of `ids` in that order, as a new list.
PyObject* collect_items(const RwLock<ItemTable>& items, std::span<const uint32_t> ids);

// Readies every object of `batch` for an index (prepare_for_index), so that
// entering them fails before any index changes.
PreparedElements prepare_batch(const std::vector<StoredItem>& batch);

// The road of every batch into a core (a bulk add, a union, a rebase): the
// objects are readied with the interpreter lock, so that a container that
// cannot convert fails the call before anything changes; then
// enter(batch, prepared) runs without it.
template <class Enter>
decltype(auto) enter_batch(std::vector<StoredItem> batch, Enter&& enter) {
    PreparedElements prepared = prepare_batch(batch);
    return py::without_gil([&]() -> decltype(auto) { return enter(std::move(batch), prepared); });
}

// iter(): an iterator over the objects admitted, as collect() lists them.
PyObject* iterate_admitted(const RwLock<ItemTable>& items, const Bitmap& allowed);

}  // namespace vorlane

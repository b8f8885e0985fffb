#pragma once
// Collection basics of Index and FilteredIndex beside their query methods:
// the number of objects admitted, membership by an object's id, and iteration
// in the order collect() returns them. Interpreter lock held throughout.
#include <Python.h>

#include "index/engine/index.hpp"

namespace vorlane {

// len(): the ids admitted, counted without building a list.
Py_ssize_t count_admitted(const Bitmap& allowed);

// `obj in ...`: whether `obj` is the object stored under its id and that id is
// admitted. Anything that is not an Indexable is in no index.
bool holds_object(const RwLock<ItemTable>& items, const Bitmap& allowed, PyObject* obj);

// iter(): an iterator over the objects admitted, as collect() lists them.
PyObject* iterate_admitted(const RwLock<ItemTable>& items, const Bitmap& allowed);

}  // namespace vorlane

#pragma once
// FilteredIndex: a narrowed view of an index, made only by the module.
#include <Python.h>

#include <span>

#include "index/engine/index.hpp"

namespace vorlane {

struct PyFilteredIndexObject {
    PyObject_HEAD
    FilteredIndexCore view;
    // The Index whose core the view reads (a strong reference, or null once
    // cleared): the index reports the objects of the core to the cycle
    // collector, so a view keeps them reachable through it.
    PyObject* owner;
};

PyTypeObject* create_filtered_index_type();

// Wraps a view of the core of Index `owner` into a new Python FilteredIndex
// (interpreter lock held).
PyObject* wrap_filtered_index(FilteredIndexCore view, PyObject* owner);

// The objects of `allowed` in ascending id order, as a new list (interpreter lock held).
PyObject* collect_items(const RwLock<ItemTable>& items, const Bitmap& allowed);
// The objects of `ids` in that order, as a new list (interpreter lock held).
PyObject* collect_items(const RwLock<ItemTable>& items, std::span<const uint32_t> ids);

// Converts the container elements of every object of `batch`, so that entering
// them fails before any index changes (interpreter lock held).
PreparedElements prepare_batch(const std::vector<StoredItem>& batch);

// Keyword filters of a vectorcall as Eq nodes.
std::vector<QueryExpr> keyword_filters(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname);

}  // namespace vorlane

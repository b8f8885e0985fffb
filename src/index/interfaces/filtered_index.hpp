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


}  // namespace vorlane

#pragma once
// FilteredIndex: a narrowed view of an index, made only by the module.
#include <Python.h>

namespace vorlane {

struct PyFilteredIndexObject {
    PyObject_HEAD
};

PyTypeObject* create_filtered_index_type();

}  // namespace vorlane

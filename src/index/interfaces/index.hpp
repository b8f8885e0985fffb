#pragma once
// Index: the Python class that owns one index core.
#include <Python.h>

#include <memory>

namespace vorlane {

struct IndexAPI;

struct PyIndexObject {
    PyObject_HEAD
    std::shared_ptr<IndexAPI> core;
};

PyTypeObject* create_index_type();

// Wraps a core into a new Python Index (interpreter lock held).
PyObject* wrap_index(std::shared_ptr<IndexAPI> core);

}  // namespace vorlane

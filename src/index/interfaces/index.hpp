#pragma once
// Index: the Python class that owns one index core.
#include <Python.h>

#include <memory>

#include "index/interfaces/collector.hpp"

namespace vorlane {

struct IndexAPI;

struct PyIndexObject {
    PyObject_HEAD
    std::shared_ptr<IndexAPI> core;
    CollectorView collector;  // what it reports to the cycle collector
};

PyTypeObject* create_index_type();

// Wraps a core into a new Python Index (interpreter lock held).
PyObject* wrap_index(std::shared_ptr<IndexAPI> core);

}  // namespace vorlane

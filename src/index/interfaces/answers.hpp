#pragma once
// The value answers of Index and FilteredIndex alike: `order_by`, `count_by`,
// `min` and `max`, over a core's members (`base` null) or a view's set.
#include <Python.h>

#include "index/engine/index.hpp"

namespace vorlane {

PyObject* answer_order_by(const IndexAPI& core, const Bitmap* base, PyObject* args, PyObject* kwargs);
PyObject* answer_count_by(const IndexAPI& core, const Bitmap* base, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* answer_extreme(const IndexAPI& core, const Bitmap* base, bool largest, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);

// The docstrings, shared by both types.
extern const char* const kOrderByDoc;
extern const char* const kCountByDoc;
extern const char* const kMinDoc;
extern const char* const kMaxDoc;

}  // namespace vorlane

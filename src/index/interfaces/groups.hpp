#pragma once
// GroupBy: what group_by(attr) returns, answering count(), sum(a), mean(a),
// min(a) and max(a) per value of `attr`.
#include <Python.h>

#include "index/interfaces/shared_methods.hpp"

namespace vorlane {

PyTypeObject* create_group_by_type();

// group_by(attr) over a scope: a new GroupBy. Interpreter lock held.
PyObject* scope_group_by(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char* const kGroupByDoc;

}  // namespace vorlane

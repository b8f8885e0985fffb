#pragma once
// PyQueryExpr: the Python class whose static methods build query trees.
#include <Python.h>

#include "index/engine/query_ops.hpp"

namespace vorlane {

struct PyQueryExprObject {
    PyObject_HEAD
    QueryExpr expr;
};

PyTypeObject* create_query_expr_type();

// The tree of a PyQueryExpr argument, or a TypeError naming `param`.
const QueryExpr& query_expr_argument(const char* param, PyObject* obj);

// Keyword arguments of a vectorcall as (path, value) pairs, each meaning
// Eq(path, value): `kwnames` is the tuple of names (or null), `values` their
// values in the same order. The interpreter lock is held.
std::vector<std::pair<Path, Operand>> kwargs_to_query(PyObject* kwnames, PyObject* const* values);

// Keyword filters of a vectorcall as Eq nodes (positional arguments refused,
// naming `fname`).
std::vector<QueryExpr> keyword_filters(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname);

}  // namespace vorlane

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

}  // namespace vorlane

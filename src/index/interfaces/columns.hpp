#pragma once
// Columns: attribute values of an index's or a view's objects as Arrow columns,
// handed to Arrow consumers (pyarrow, polars, duckdb, pandas) through the
// Arrow PyCapsule interface: __arrow_c_schema__ and __arrow_c_stream__.
#include <Python.h>

namespace vorlane {

struct IndexAPI;
class Bitmap;

// The Columns type (see types.hpp for the module's types).
PyTypeObject* create_columns_type();

// `columns(*attrs)` of the objects of `ids` (the members of `core` when null):
// a new Columns object. Interpreter lock held.
PyObject* make_columns(const IndexAPI& core, const Bitmap* ids, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

}  // namespace vorlane

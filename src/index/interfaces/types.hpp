#pragma once
// The module's type objects: each made on first use, in one style (a static
// slot table and make_type), and never destroyed.
#include <Python.h>

namespace vorlane {

// Each creates its type object on first need (taking the interpreter lock if the
// calling thread does not hold it) and returns a borrowed pointer that stays
// valid for the life of the process. A failure to create one is an internal error.
PyTypeObject* index_type();
PyTypeObject* indexable_type();  // INDEXABLE_TYPE
PyTypeObject* filtered_index_type();
PyTypeObject* query_expr_type();
PyTypeObject* columns_type();
PyTypeObject* group_by_type();

// A heap type from its name, instance size, flags and slot table (the table
// must outlive the call; the slot tables are static). Interpreter lock held.
PyTypeObject* make_type(const char* name, size_t basicsize, unsigned int flags, PyType_Slot* slots);

}  // namespace vorlane

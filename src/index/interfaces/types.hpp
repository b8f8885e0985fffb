#pragma once
// Process-wide values created on first use and never destroyed: the four type
// objects of the module and the placeholders that fill vacant slots of an index.
#include <Python.h>

namespace vorlane {

// Each creates its type object on first need (taking the interpreter lock if the
// calling thread does not hold it) and returns a borrowed pointer that stays
// valid for the life of the process. A failure to create one is an internal error.
PyTypeObject* index_type();
PyTypeObject* indexable_type();  // INDEXABLE_TYPE
PyTypeObject* filtered_index_type();
PyTypeObject* query_expr_type();

}  // namespace vorlane

#pragma once
// Pickling and copying of Indexable objects: an object reduces to its class and
// its attributes, and a copy is made by the class's __new__ without arguments
// (no __init__ runs) and then given the attributes. A copy belongs to no index.
#include <Python.h>

namespace vorlane {

// __reduce__: (copyreg.__newobj__, (type(self),), {name: value, ...}).
PyObject* indexable_reduce(PyObject* self, PyObject* unused);

// __setstate__(state): assigns every item of the dict `state` as an attribute.
PyObject* indexable_setstate(PyObject* self, PyObject* state);

}  // namespace vorlane

#include "index/interfaces/filtered_index.hpp"

namespace vorlane {

namespace {

void filtered_index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

PyTypeObject* create_filtered_index_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("")},
        {Py_tp_dealloc, reinterpret_cast<void*>(filtered_index_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"PyVorlane.FilteredIndex", sizeof(PyFilteredIndexObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vorlane

#include "index/interfaces/index.hpp"

#include <new>

#include "python/args.hpp"
#include "python/boundary.hpp"

namespace vorlane {

namespace {

PyObject* index_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return py::guarded_object([&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
            py::raise(PyExc_TypeError, "Index() takes no arguments");
        }
        PyObject* self = cls->tp_alloc(cls, 0);
        if (self == nullptr) throw py::PyErrAlreadySet();
        new (&reinterpret_cast<PyIndexObject*>(self)->core) std::shared_ptr<IndexAPI>();
        return self;
    });
}

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyIndexObject*>(self)->core.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
    py::release_pending();
}

}  // namespace

PyTypeObject* create_index_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(index_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"PyVorlane.Index", sizeof(PyIndexObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vorlane

// The module's entry point: builds the module object once per process and adds
// `sum_as_string` and the four classes, in the order of `__all__`.
#include <Python.h>

#include <cstdint>
#include <string>

#include "index/structures/small_form.hpp"
#include "index/engine/conversion.hpp"
#include "index/interfaces/collector.hpp"
#include "index/interfaces/convert.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/columns.hpp"
#include "index/interfaces/types.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/boundary.hpp"

namespace vorlane {

namespace {

using py::PyRef;

// An unsigned 64-bit argument (int or anything with __index__); conversion errors name it.
uint64_t u64_argument(const char* param, PyObject* obj) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    unsigned long long value = 0;
    if (index) {
        value = PyLong_AsUnsignedLongLong(index.get());
        if (!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return value;
    }
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* type = PyExceptionInstance_Class(exc);
    PyRef text = PyRef::steal(PyObject_Str(exc));
    Py_DECREF(exc);
    if (!text) throw py::PyErrAlreadySet();
    PyErr_Format(type, "argument '%s': %U", param, text.get());
    throw py::PyErrAlreadySet();
}

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [a, b] = py::bind_args<2>("sum_as_string", {"a", "b"}, args, nargs, kwnames);
        const uint64_t x = u64_argument("a", a);
        const uint64_t y = u64_argument("b", b);
        // Exact even past 2**64 - 1: the sum of two u64 fits in 65 bits.
        unsigned __int128 sum = static_cast<unsigned __int128>(x) + y;
        std::string digits;
        do {
            digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(sum % 10)));
            sum /= 10;
        } while (sum != 0);
        return PyUnicode_FromStringAndSize(digits.data(), static_cast<Py_ssize_t>(digits.size()));
    });
}

PyMethodDef kSumAsString = {"sum_as_string", py::method_ptr(sum_as_string), METH_FASTCALL | METH_KEYWORDS,
                            "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

// Test hook: how many ids the number and string structures of value maps made
// from now on keep in their small form (0 puts every id in the bitmaps).
// Returns the previous limit.
PyObject* set_small_structure_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [limit] = py::bind_args<1>("_set_small_structure_limit", {"limit"}, args, nargs, kwnames);
        const uint64_t n = u64_argument("limit", limit);
        const size_t previous = small_form_limit();
        set_small_form_limit(static_cast<size_t>(n));
        return PyLong_FromSize_t(previous);
    });
}

PyMethodDef kSetSmallStructureLimit = {"_set_small_structure_limit", py::method_ptr(set_small_structure_limit),
                                       METH_FASTCALL | METH_KEYWORDS,
                                       "_set_small_structure_limit(limit)\n--\n\nTest hook: small-form limit of "
                                       "new number and string structures; returns the previous one."};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "PyVorlane",
    "A Python extension module that indexes live Python objects by their attribute values.",
    0,        // no per-module state
    nullptr,  // no method table: the function is added as an attribute
    nullptr, nullptr, nullptr, nullptr,
};

// Sets `name` on the module and appends it to __all__.
void add_member(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    if (all == nullptr) {
        PyRef created = PyRef::checked(PyList_New(0));
        if (PyModule_AddObjectRef(module, "__all__", created.get()) < 0) throw py::PyErrAlreadySet();
        all = created.get();
    }
    PyRef text = PyRef::checked(PyUnicode_FromString(name));
    if (PyList_Append(all, text.get()) < 0) throw py::PyErrAlreadySet();
    if (PyModule_AddObjectRef(module, name, value) < 0) throw py::PyErrAlreadySet();
}

PyObject* g_module = nullptr;  // built once per process; never released
int64_t g_interpreter = -1;    // the interpreter that claimed the module

PyObject* build_module() {
    // What the engine asks of the conversion layer, before any index exists.
    g_conversion = Conversion{convert_elements, prepare_for_index};
    PyRef module = PyRef::checked(PyModule_Create(&kModule));

    PyRef modname = PyRef::checked(PyUnicode_FromString("PyVorlane"));
    PyRef function = PyRef::checked(PyCFunction_NewEx(&kSumAsString, module.get(), modname.get()));
    PyRef fname = PyRef::checked(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(fname.get())) py::raise(PyExc_TypeError, "__name__ must be a str");
    add_member(module.get(), PyUnicode_AsUTF8(fname.get()), function.get());

    add_member(module.get(), "Index", reinterpret_cast<PyObject*>(index_type()));
    add_member(module.get(), "Indexable", reinterpret_cast<PyObject*>(indexable_type()));
    add_member(module.get(), "FilteredIndex", reinterpret_cast<PyObject*>(filtered_index_type()));
    add_member(module.get(), "PyQueryExpr", reinterpret_cast<PyObject*>(query_expr_type()));
    // What columns() returns: reachable (isinstance), not exported by `import *`.
    if (PyModule_AddObjectRef(module.get(), "Columns", reinterpret_cast<PyObject*>(columns_type())) < 0) {
        throw py::PyErrAlreadySet();
    }
    if (PyModule_AddObjectRef(module.get(), "GroupBy", reinterpret_cast<PyObject*>(group_by_type())) < 0) {
        throw py::PyErrAlreadySet();
    }
    // Private: neither in __all__ nor in the stubs.
    PyRef hook = PyRef::checked(PyCFunction_NewEx(&kSetSmallStructureLimit, module.get(), modname.get()));
    if (PyModule_AddObjectRef(module.get(), "_set_small_structure_limit", hook.get()) < 0) {
        throw py::PyErrAlreadySet();
    }
    if (PyModule_AddStringConstant(module.get(), "__version__", VORLANE_VERSION) < 0) throw py::PyErrAlreadySet();
    watch_collections();
    // Reachable for `except` clauses, but not exported by `import *`.
    if (PyModule_AddObjectRef(module.get(), "InternalError", py::internal_error_type()) < 0) {
        throw py::PyErrAlreadySet();
    }
    return module.release();
}

}  // namespace

}  // namespace vorlane

PyMODINIT_FUNC PyInit_PyVorlane() {
    using namespace vorlane;
    return py::guarded_object([]() -> PyObject* {
        const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter == -1) throw py::PyErrAlreadySet();
        if (g_interpreter == -1) g_interpreter = interpreter;
        if (interpreter != g_interpreter) {
            py::raise(PyExc_ImportError,
                      "PyVorlane does not support sub-interpreters: it is already loaded in another interpreter");
        }
        if (g_module == nullptr) g_module = build_module();
        return Py_NewRef(g_module);
    });
}

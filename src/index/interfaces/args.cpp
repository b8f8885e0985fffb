#include "index/interfaces/args.hpp"

namespace vorlane::py {

namespace detail {

void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }

std::string_view keyword_name(PyObject* kwnames, Py_ssize_t i) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(kwnames, i), &size);
    if (utf8 == nullptr) throw PyErrAlreadySet();
    return {utf8, static_cast<size_t>(size)};
}

}  // namespace detail

void refuse_positional(const char* fname, Py_ssize_t nargs) {
    if (nargs != 0) {
        detail::raise_type_error(std::string(fname) + "() takes 0 positional arguments but " + std::to_string(nargs) +
                                 (nargs == 1 ? " was" : " were") + " given");
    }
}

void raise_argument_type(const char* param, const char* expected, PyObject* got) {
    detail::raise_type_error(std::string("argument '") + param + "': expected " + expected + ", got '" +
                             Py_TYPE(got)->tp_name + "'");
}

std::string_view str_argument(const char* param, PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_argument_type(param, "str", obj);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw PyErrAlreadySet();
    return {utf8, static_cast<size_t>(size)};
}

}  // namespace vorlane::py

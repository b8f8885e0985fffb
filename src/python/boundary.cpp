#include "python/boundary.hpp"

#include <mutex>

#include "python/py_ref.hpp"

namespace vorlane::py {

PyObject* internal_error_type() {
    static PyObject* type = [] {
        PyObject* t = PyErr_NewExceptionWithDoc(
            "PyVorlane.InternalError",
            "An internal failure of PyVorlane: a broken invariant, a poisoned lock or a value "
            "that could not be converted. Derives from BaseException so that ordinary "
            "`except Exception` handlers do not swallow it.",
            PyExc_BaseException, nullptr);
        if (t == nullptr) std::abort();  // only at module import, on memory exhaustion
        return t;
    }();
    return type;
}

void set_internal_error(std::string_view message) noexcept {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;  // the decoding error stays set
    PyErr_SetObject(internal_error_type(), text);
    Py_DECREF(text);
}

std::string take_python_error_text() {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) return "unknown Python error";
    std::string out = Py_TYPE(exc.get())->tp_name;
    PyRef text = PyRef::steal(PyObject_Str(exc.get()));
    if (!text) {
        PyErr_Clear();
        return out;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return out;
    }
    if (size > 0) {
        out += ": ";
        out.append(utf8, static_cast<size_t>(size));
    }
    return out;
}

void fail_from_python_error(std::string_view prefix) {
    std::string message(prefix);
    if (!message.empty()) message += ": ";
    message += take_python_error_text();
    fail(std::move(message));
}

void fail_conversion(std::string_view prefix) {
    std::string message(prefix);
    if (!message.empty()) message += ": ";
    message += take_python_error_text();
    throw ConversionError(std::move(message));
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyErrAlreadySet();
}

}  // namespace vorlane::py

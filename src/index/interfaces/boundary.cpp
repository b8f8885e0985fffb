#include "index/interfaces/boundary.hpp"

#include <mutex>

#include "python/py_ref.hpp"

namespace vorlane::py {

PyObject* internal_error_type() {
    static PyObject* type = [] {
        PyObject* t = PyErr_NewExceptionWithDoc(
            "PyVorlane.InternalError",
            "An internal failure of PyVorlane: a broken invariant or a poisoned lock, never "
            "a value or argument a caller passed. Derives from BaseException so that ordinary "
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

ConversionError ConversionError::from_python_error() {
    ConversionError e;
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (!raised) return ConversionError(PyExc_SystemError, "conversion failed without an error");
    e.message_ = Py_TYPE(raised.get())->tp_name;
    e.raised_ = SharedPyRef(std::move(raised));
    return e;
}

void ConversionError::name_attribute(std::string_view attribute) {
    if (attribute_.empty()) attribute_ = attribute;
}

void ConversionError::set_python_error() const noexcept {
    if (type_ != nullptr) {
        const std::string text = attribute_.empty() ? message_ : "attribute '" + attribute_ + "': " + message_;
        PyObject* value = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
        if (value == nullptr) return;  // the decoding error stays set
        PyErr_SetObject(type_, value);
        Py_DECREF(value);
        return;
    }
    PyObject* raised = raised_.get();
    if (!attribute_.empty()) {
        // The error stays what the value's code raised; a note names the attribute
        // (and a str that cannot be encoded says so in its reason as well).
        const std::string note = "while converting the value of attribute '" + attribute_ + "'";
        if (PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject*>(PyExc_UnicodeEncodeError))) {
            PyRef reason = PyRef::steal(PyUnicodeEncodeError_GetReason(raised));
            const char* text = reason ? PyUnicode_AsUTF8(reason.get()) : nullptr;
            if (text != nullptr) {
                const std::string amended = std::string(text) + " (attribute '" + attribute_ + "')";
                if (PyUnicodeEncodeError_SetReason(raised, amended.c_str()) < 0) PyErr_Clear();
            } else {
                PyErr_Clear();
            }
        } else {
            PyRef result = PyRef::steal(PyObject_CallMethod(raised, "add_note", "s", note.c_str()));
            if (!result) PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(Py_NewRef(raised));
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyErrAlreadySet();
}

}  // namespace vorlane::py

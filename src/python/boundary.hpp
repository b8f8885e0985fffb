#pragma once
// The error boundary. Every Python entry point (method, slot, module init) runs
// its body through `guarded`, so no C++ exception ever reaches the interpreter:
//  - PyErrAlreadySet: a Python error is set; pass it through.
//  - InternalError: raise the module's internal-error exception with its message.
// Running out of memory aborts the process.
#include <Python.h>

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "index/core/structures/errors.hpp"
#include "python/py_ref.hpp"

namespace vorlane::py {

// The module's internal-error type (derives from BaseException, not Exception).
// Created on first use; lives for the process.
PyObject* internal_error_type();

// Sets the internal-error exception with `message` as the current Python error.
void set_internal_error(std::string_view message) noexcept;

// A value of a recognised type that cannot be converted, or an unhashable value.
// Reported to Python as the internal-error exception, like an InternalError, but
// it does not poison the locks it unwinds: it breaks no invariant, and a caller
// that checks values before changing anything leaves nothing half done.
class ConversionError : public std::exception {
public:
    explicit ConversionError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Turns the Python error that is set into a ConversionError: the message is
// `prefix` (if any), then the error's type name and text. Clears the Python error.
[[noreturn]] void fail_conversion(std::string_view prefix = {});

// Turns the Python error that is set into an internal error: the message is
// `prefix` (if any), then the error's type name and text. Clears the Python error.
[[noreturn]] void fail_from_python_error(std::string_view prefix = {});

// Text of the Python error that is set ("TypeName: text"), clearing it.
std::string take_python_error_text();

template <class R, class Fn>
R guarded(R error_value, Fn&& body) noexcept {
    try {
        R result = body();
        release_pending();
        return result;
    } catch (const PyErrAlreadySet&) {
    } catch (const InternalError& e) {
        set_internal_error(e.message());
    } catch (const ConversionError& e) {
        set_internal_error(e.message());
    } catch (const std::bad_alloc&) {
        std::abort();
    } catch (const std::exception& e) {
        set_internal_error(e.what());
    } catch (...) {
        set_internal_error("unknown internal failure");
    }
    release_pending();
    return error_value;
}

// Entry points returning an object: null on error.
template <class Fn>
PyObject* guarded_object(Fn&& body) noexcept {
    return guarded<PyObject*>(nullptr, std::forward<Fn>(body));
}

// Entry points returning a status (setattro, init): -1 on error.
template <class Fn>
int guarded_status(Fn&& body) noexcept {
    return guarded<int>(-1, std::forward<Fn>(body));
}

// Raises `type` with `message` as a Python error and unwinds to the boundary.
[[noreturn]] void raise(PyObject* type, const std::string& message);

}  // namespace vorlane::py

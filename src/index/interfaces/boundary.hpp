#pragma once
// The error boundary. Every Python entry point (method, slot, module init) runs
// its body through `guarded`, so no C++ exception ever reaches the interpreter:
//  - PyErrAlreadySet: a Python error is set; pass it through.
//  - InternalError: raise the module's internal-error exception with its message.
//  - ConversionError: raise the ordinary exception it stands for.
// Running out of memory aborts the process.
#include <Python.h>

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "index/structures/errors.hpp"
#include "index/engine/value.hpp"
#include "python/py_ref.hpp"

namespace vorlane::py {

// The module's internal-error type (derives from BaseException, not Exception).
// Created on first use; lives for the process.
PyObject* internal_error_type();

// Sets the internal-error exception with `message` as the current Python error.
void set_internal_error(std::string_view message) noexcept;

// A value the index cannot take: an int outside the signed 64-bit range, an
// unhashable value, a str with lone surrogates, containers nested too deeply,
// or an error raised by the value's own code while it was read. Reported to
// Python as an ordinary exception of the type it arose as, naming the attribute
// when a caller on the way out knows it. It breaks no invariant, so it does not
// poison the locks it unwinds; every caller converts before changing anything.
class ConversionError : public std::exception {
public:
    // A refusal of our own: `type` is a built-in exception type, `message` says why.
    ConversionError(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
    // The Python error that is set, taken over (and cleared) to be raised again.
    static ConversionError from_python_error();

    const char* what() const noexcept override { return message_.c_str(); }
    // Names the attribute the value was meant for; the innermost name stays.
    void name_attribute(std::string_view attribute);
    // Sets the Python error this stands for; the interpreter lock must be held.
    void set_python_error() const noexcept;

private:
    ConversionError() = default;
    PyObject* type_ = nullptr;  // null: `raised_` is raised again as it was
    std::string message_;
    std::string attribute_;
    SharedPyRef raised_;
};

// Runs `fn` (a conversion) and names `attribute` in the ConversionError it may throw.
template <class Fn>
decltype(auto) converting_attribute(std::string_view attribute, Fn&& fn) {
    try {
        return fn();
    } catch (ConversionError& e) {
        e.name_attribute(attribute);
        throw;
    }
}

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
        e.set_python_error();
    } catch (const NestingTooDeep& e) {
        ConversionError(PyExc_RecursionError, e.what()).set_python_error();
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

#pragma once
// Binding of vectorcall arguments (positional, then by keyword) to named
// parameters, with argument errors that name the parameter.
#include <Python.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "index/interfaces/boundary.hpp"

namespace vorlane::py {

// A compile-time name usable as a template argument (one function template per method).
template <size_t N>
struct FixedName {
    constexpr FixedName(const char (&s)[N]) {  // NOLINT: implicit by design
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    char text[N];
};

using FastKeywordsFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFn = PyObject* (*)(PyObject*, PyObject*);

// Method-table entries store every calling convention as PyCFunction.
inline PyCFunction method_ptr(FastKeywordsFn fn) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)); }
inline PyCFunction method_ptr(NoArgsFn fn) { return fn; }

namespace detail {
[[noreturn]] void raise_type_error(const std::string& message);
std::string_view keyword_name(PyObject* kwnames, Py_ssize_t i);
}  // namespace detail

// The first `Required` parameters are required and may be given positionally
// or by keyword; the others are optional and keyword-only (null when not given).
template <size_t Required, size_t N>
std::array<PyObject*, N> bind_some_args(const char* fname, const std::array<const char*, N>& names,
                                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(Required <= N);
    std::array<PyObject*, N> out{};
    if (nargs > static_cast<Py_ssize_t>(Required)) {
        detail::raise_type_error(std::string(fname) + "() takes " + std::to_string(Required) +
                                 " positional argument" + (Required == 1 ? "" : "s") + " but " +
                                 std::to_string(nargs) + (nargs == 1 ? " was given" : " were given"));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const std::string_view key = detail::keyword_name(kwnames, k);
        size_t slot = N;
        for (size_t j = 0; j < N; ++j) {
            if (key == names[j]) slot = j;
        }
        if (slot == N) {
            detail::raise_type_error(std::string(fname) + "() got an unexpected keyword argument '" +
                                     std::string(key) + "'");
        }
        if (out[slot] != nullptr) {
            detail::raise_type_error(std::string(fname) + "() got multiple values for argument '" +
                                     std::string(key) + "'");
        }
        out[slot] = args[nargs + k];
    }
    for (size_t j = 0; j < Required; ++j) {
        if (out[j] == nullptr) {
            detail::raise_type_error(std::string(fname) + "() missing 1 required argument: '" + names[j] + "'");
        }
    }
    return out;
}

// Every parameter is required and may be given positionally or by keyword.
template <size_t N>
std::array<PyObject*, N> bind_args(const char* fname, const std::array<const char*, N>& names,
                                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_some_args<N, N>(fname, names, args, nargs, kwnames);
}

// For methods taking only **kwargs: refuses positional arguments and returns the
// keywords as (name, value) pairs in call order.
void refuse_positional(const char* fname, Py_ssize_t nargs);

// Refuses an argument of the wrong type, naming the parameter.
[[noreturn]] void raise_argument_type(const char* param, const char* expected, PyObject* got);

// UTF-8 text of a str (or str subclass) argument; TypeError naming `param` otherwise.
std::string_view str_argument(const char* param, PyObject* obj);

}  // namespace vorlane::py

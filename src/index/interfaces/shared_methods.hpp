#pragma once
// The methods Index and FilteredIndex share, written once: each works over a
// Scope (a core and the ids it admits), which each type makes from its object.
#include <Python.h>

#include <utility>
#include <vector>

#include "index/engine/index.hpp"
#include "index/interfaces/args.hpp"

namespace vorlane {

// What a shared method reads: a core, the ids it admits (null: the core's
// members, read under the core's lock), and the Index that reports the core's
// objects to the cycle collector, which the views it makes hold.
struct Scope {
    const IndexAPI& core;
    const Bitmap* base;
    PyObject* owner;
};

// The shared methods over a scope. Interpreter lock held; each runs its body
// through the error boundary.
PyObject* scope_collect(const Scope& scope);
Py_ssize_t scope_len(const Scope& scope);
int scope_contains(const Scope& scope, PyObject* obj);
PyObject* scope_iter(const Scope& scope);
PyObject* scope_reduced(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_reduced_query(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_order_by(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_count_by(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_min(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_max(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_sum(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_mean(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_group_by(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scope_columns(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The shared methods and slots of a type whose objects give their scope
// through `scope_of`: the entry points are these functions, and `table` makes
// the type's method table.
template <Scope (*scope_of)(PyObject*)>
struct SharedMethods {
    static PyObject* collect(PyObject* self, PyObject*) { return scope_collect(scope_of(self)); }
    static Py_ssize_t len(PyObject* self) { return scope_len(scope_of(self)); }
    static int contains(PyObject* self, PyObject* obj) { return scope_contains(scope_of(self), obj); }
    static PyObject* iter(PyObject* self) { return scope_iter(scope_of(self)); }

    template <PyObject* (*method)(const Scope&, PyObject* const*, Py_ssize_t, PyObject*)>
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return method(scope_of(self), args, nargs, kwnames);
    }

    // The method table of the type: its own methods, then the shared ones.
    // Made on the first call and kept for the process.
    static PyMethodDef* table(std::vector<PyMethodDef> own) {
        static std::vector<PyMethodDef> made = [&] {
            add_methods(own);
            own.push_back({nullptr, nullptr, 0, nullptr});
            return std::move(own);
        }();
        return made.data();
    }

private:
    static void add_methods(std::vector<PyMethodDef>& table);
};

// The docstrings of the shared methods.
extern const char* const kCollectDoc;
extern const char* const kReducedDoc;
extern const char* const kReducedQueryDoc;
extern const char* const kOrderByDoc;
extern const char* const kCountByDoc;
extern const char* const kMinDoc;
extern const char* const kMaxDoc;
extern const char* const kSumDoc;
extern const char* const kMeanDoc;
extern const char* const kGroupByDoc;
extern const char* const kColumnsDoc;

template <Scope (*scope_of)(PyObject*)>
void SharedMethods<scope_of>::add_methods(std::vector<PyMethodDef>& table) {
    constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
    table.push_back({"collect", py::method_ptr(&collect), METH_NOARGS, kCollectDoc});
    table.push_back({"reduced", py::method_ptr(&call<scope_reduced>), kFastKw, kReducedDoc});
    table.push_back({"reduced_query", py::method_ptr(&call<scope_reduced_query>), kFastKw, kReducedQueryDoc});
    table.push_back({"order_by", py::method_ptr(&call<scope_order_by>), kFastKw, kOrderByDoc});
    table.push_back({"count_by", py::method_ptr(&call<scope_count_by>), kFastKw, kCountByDoc});
    table.push_back({"min", py::method_ptr(&call<scope_min>), kFastKw, kMinDoc});
    table.push_back({"max", py::method_ptr(&call<scope_max>), kFastKw, kMaxDoc});
    table.push_back({"sum", py::method_ptr(&call<scope_sum>), kFastKw, kSumDoc});
    table.push_back({"mean", py::method_ptr(&call<scope_mean>), kFastKw, kMeanDoc});
    table.push_back({"group_by", py::method_ptr(&call<scope_group_by>), kFastKw, kGroupByDoc});
    table.push_back({"columns", py::method_ptr(&call<scope_columns>), kFastKw, kColumnsDoc});
}

}  // namespace vorlane

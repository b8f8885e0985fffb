#pragma once
// Interpreter-lock hand-off. A thread holding the interpreter lock never blocks
// on an engine or object lock: it tries the lock first and, when that fails,
// waits with the interpreter lock released.
#include <Python.h>

#include <optional>
#include <utility>

namespace vorlane::py {

// Releases the interpreter lock for a scope.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Takes the interpreter lock for a scope, from any thread.
class GilAcquire {
public:
    GilAcquire() noexcept : state_(PyGILState_Ensure()) {}
    GilAcquire(const GilAcquire&) = delete;
    GilAcquire& operator=(const GilAcquire&) = delete;
    ~GilAcquire() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

// Runs fn() with the interpreter lock released and returns its result.
template <class Fn>
decltype(auto) without_gil(Fn&& fn) {
    GilRelease release;
    return std::forward<Fn>(fn)();
}

// Acquires an engine lock while holding the interpreter lock: `try_take()` returns an
// optional guard, `take()` blocks. Blocking happens only with the interpreter lock released.
template <class TryTake, class Take>
auto lock_with_gil(TryTake&& try_take, Take&& take) {
    if (auto guard = try_take()) return std::move(*guard);
    GilRelease release;
    return take();
}

}  // namespace vorlane::py

#pragma once
// Internal errors: a broken invariant, a poisoned lock, a failed conversion of a
// value whose type was already recognised. They unwind to the Python boundary,
// which turns them into the module's internal-error exception.
#include <exception>
#include <string>
#include <utility>

namespace vorlane {

class InternalError : public std::exception {
public:
    explicit InternalError(std::string message);
    InternalError(const InternalError& other);
    InternalError& operator=(const InternalError& other) = default;
    ~InternalError() override;

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

    // Number of InternalError objects alive on this thread. While one unwinds the
    // stack it is alive, which is how lock guards tell an internal failure (which
    // poisons) from a Python error travelling to the boundary (which does not).
    static int alive_on_this_thread() noexcept;

private:
    std::string message_;
};

[[noreturn]] void fail(std::string message);

// Checks an invariant that must hold; a false condition is an internal error.
inline void check(bool condition, const char* message) {
    if (!condition) fail(message);
}

}  // namespace vorlane

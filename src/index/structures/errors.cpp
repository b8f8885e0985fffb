#include "index/structures/errors.hpp"

namespace vorlane {

namespace {
thread_local int g_alive = 0;
}

InternalError::InternalError(std::string message) : message_(std::move(message)) { ++g_alive; }
InternalError::InternalError(const InternalError& other) : std::exception(other), message_(other.message_) {
    ++g_alive;
}
InternalError::~InternalError() { --g_alive; }

int InternalError::alive_on_this_thread() noexcept { return g_alive; }

void fail(std::string message) { throw InternalError(std::move(message)); }

}  // namespace vorlane

#pragma once
// The number and string structures of a value map keep their first ids as a
// plain list of pairs and build their bitmaps only beyond this many: a small
// index holds ids from all over the process's id range, so each id would need
// containers of its own in every bitmap it enters.
#include <atomic>
#include <cstddef>

namespace vorlane {

inline constexpr size_t kSmallFormLimit = 64;

namespace detail {
inline std::atomic<size_t> g_small_form_limit{kSmallFormLimit};
}  // namespace detail

// The limit of structures made from now on (tests lower it to reach the bitmaps
// with few ids).
inline size_t small_form_limit() noexcept { return detail::g_small_form_limit.load(std::memory_order_relaxed); }
inline void set_small_form_limit(size_t limit) noexcept {
    detail::g_small_form_limit.store(limit, std::memory_order_relaxed);
}

}  // namespace vorlane

#pragma once
// Process-wide 32-bit item ids. Every object and every element of a container
// value is named by one id, the same in every index, so the bitmaps of all
// indexes speak one language. Freed ids are reused last-freed-first, which
// keeps the id space dense and the bitmaps over it small.
#include <cstdint>

namespace vorlane {

// A fresh id: the most recently freed one if any, else the next never-used one.
// Id 0 never comes out (callers use it to mean "no id"). When every id up to
// 0xFFFFFFFF has been handed out and none is free, raises an internal error
// rather than wrapping round and repeating a live id.
uint32_t allocate_id();

// Gives `id` back for reuse. The caller promises it came from allocate_id and is
// no longer used anywhere; nothing is checked.
void free_id(uint32_t id);

namespace detail {
// Test-only: moves the never-used counter, so tests can reach the end of the id
// space without minting four billion ids. Not for engine code.
void set_next_id_for_testing(uint64_t next);
}  // namespace detail

}  // namespace vorlane

#pragma once
// Process-wide 32-bit item ids. Every object and every element of a container
// value is named by one id, the same in every index, so the bitmaps of all
// indexes speak one language. Freed ids are reused last-freed-first, which
// keeps the id space dense and the bitmaps over it small.
#include <cstdint>
#include <span>

namespace vorlane {

// A fresh id: the most recently freed one if any, else the next never-used one.
// Id 0 never comes out (callers use it to mean "no id"). When every id up to
// 0xFFFFFFFF has been handed out and none is free, raises an internal error
// rather than wrapping round and repeating a live id.
uint32_t allocate_id();

// Fills `out` with fresh ids under one lock, in the order allocate_id would have
// handed them out one by one. Raises the same internal error when the id space
// runs out part-way; the ids already taken then go back to the free list, so a
// failed call takes nothing.
void allocate_ids(std::span<uint32_t> out);

// Gives `id` back for reuse. The caller promises it came from allocate_id and is
// no longer used anywhere; nothing is checked.
void free_id(uint32_t id);

// Gives `ids` back under one lock, so that they come out again in the order
// given: freed in ascending order, they go to the next caller ascending, which
// is the order bitmaps take ids in cheaply. Same promise as free_id.
void free_ids(std::span<const uint32_t> ids);

namespace detail {
// Test-only: moves the never-used counter, so tests can reach the end of the id
// space without minting four billion ids. Not for engine code.
void set_next_id_for_testing(uint64_t next);
}  // namespace detail

}  // namespace vorlane

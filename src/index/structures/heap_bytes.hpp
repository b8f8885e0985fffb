#pragma once
// Memory accounting shared by the structures' `memory_bytes()`.
//
// Convention: `memory_bytes()` is the heap a structure owns, as the allocator
// hands it out (each block rounded to its chunk), not the structure's own
// sizeof: whoever holds the structure counts that, as part of its own inline
// fields or as the heap block it allocated for it. An empty structure that has
// allocated nothing reports 0. Capacity counts, not just size: a vector's
// unused tail and a hash table's buckets are memory held all the same.
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace vorlane {

// The bytes malloc takes for a request of `n`: glibc's chunks carry an 8-byte
// header, are a multiple of 16 bytes and 32 bytes at least. 0 for no request.
constexpr size_t heap_chunk(size_t n) noexcept {
    return n == 0 ? 0 : std::max<size_t>(32, (n + 8 + 15) & ~size_t{15});
}

// The array behind a vector (its capacity), not its elements' own heap.
template <class T, class A>
size_t vector_bytes(const std::vector<T, A>& v) noexcept {
    return heap_chunk(v.capacity() * sizeof(T));
}

// The buffer of a string that does not fit in the string itself.
inline size_t string_bytes(const std::string& s) noexcept {
    const auto* at = reinterpret_cast<const unsigned char*>(s.data());
    const auto* self = reinterpret_cast<const unsigned char*>(&s);
    if (at >= self && at < self + sizeof(s)) return 0;  // short string, held inline
    return heap_chunk(s.capacity() + 1);
}

// The buckets and nodes of a node-based hash table (std::unordered_map/set),
// not the heap its keys and values own. A node is the link to the next node
// and the entry; the hashers used here are cheap and never throw, so libstdc++
// keeps no hash in the node (libc++ always does).
template <class Map>
size_t hash_table_bytes(const Map& map) noexcept {
    constexpr size_t align = alignof(typename Map::value_type) > alignof(void*) ? alignof(typename Map::value_type)
                                                                                : alignof(void*);
#ifdef _LIBCPP_VERSION
    constexpr size_t head = 2 * sizeof(void*);
#else
    constexpr size_t head = sizeof(void*);
#endif
    constexpr size_t node = (head + sizeof(typename Map::value_type) + align - 1) / align * align;
    // A table of one bucket uses a bucket inside the table object.
    const size_t buckets = map.bucket_count() > 1 ? heap_chunk(map.bucket_count() * sizeof(void*)) : 0;
    return buckets + map.size() * heap_chunk(node);
}

}  // namespace vorlane

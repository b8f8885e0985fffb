#pragma once
// Sorting a batch by an unsigned integer key (an id, or the address of the
// entry an item belongs to) in a few linear passes instead of a comparison
// sort's many: batches of many thousand waiting changes are sorted so on every
// settle.
#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorlane {

// Sorts `items` by key(item), an unsigned integer of at most 64 bits,
// ascending; items with equal keys keep their order (stable). A
// least-significant-digit radix sort of 11-bit digits that skips each digit
// all keys share (the high bits of ids that lie close together, or of
// addresses in one part of the heap). Small batches take a comparison sort.
template <class T, class Key>
    requires std::unsigned_integral<std::invoke_result_t<Key&, const T&>>
void radix_sort_by(std::vector<T>& items, Key&& key) {
    using K = std::invoke_result_t<Key&, const T&>;
    constexpr size_t kComparisonBelow = 256;
    if (items.size() < kComparisonBelow) {
        std::stable_sort(items.begin(), items.end(), [&](const T& a, const T& b) { return key(a) < key(b); });
        return;
    }
    constexpr unsigned kDigitBits = 11;
    constexpr K kDigitMask = (K{1} << kDigitBits) - 1;
    K all_or = 0;
    K all_and = ~K{0};
    for (const T& item : items) {
        all_or |= key(item);
        all_and &= key(item);
    }
    const K varying = all_or ^ all_and;  // the bits not every key shares
    std::vector<T> other(items.size());
    std::vector<size_t> starts(size_t{1} << kDigitBits);
    for (unsigned shift = 0; shift < sizeof(K) * 8; shift += kDigitBits) {
        if (((varying >> shift) & kDigitMask) == 0) continue;
        std::fill(starts.begin(), starts.end(), size_t{0});
        for (const T& item : items) ++starts[static_cast<size_t>((key(item) >> shift) & kDigitMask)];
        size_t at = 0;
        for (size_t& start : starts) at += std::exchange(start, at);
        for (T& item : items) other[starts[static_cast<size_t>((key(item) >> shift) & kDigitMask)]++] = std::move(item);
        items.swap(other);
    }
}

}  // namespace vorlane

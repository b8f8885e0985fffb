#pragma once
// Order keys of dates, times and durations. They share the number structure's
// key space, in the part above +inf that no number uses (floats there would be
// NaNs, which take no key): the head of +inf, the mantissa's top bit set, then
// the kind in three bits and the value in sixty. So a kind's values order among
// themselves, every kind sits apart from numbers and from the other kinds, and
// adding, removing, bulk adds, narrowing and merging treat them as numbers do.
// Searches keep to the region of their operand's kind (`key_region`).
#include <cstdint>
#include <optional>
#include <utility>

#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vorlane {

// Kinds of ordered time values, in the order answers list them. Naive and
// aware values are different kinds: Python never finds them equal, and ranges
// over one never admit the other.
enum class TimeKind : uint8_t {
    Date,            // days since 1970-01-01
    DateTime,        // naive: microseconds since 1970-01-01 00:00
    DateTimeAware,   // the instant: microseconds since 1970-01-01 00:00 UTC
    Time,            // naive: microseconds since midnight
    TimeAware,       // microseconds since midnight UTC (may fall outside one day)
    Delta,           // microseconds
};
inline constexpr int kTimeKinds = 6;

// The values a key holds: [-2^59, 2^59) (microseconds: about 18,000 years each way).
inline constexpr int64_t kTimeOrdinalLimit = int64_t{1} << 59;

inline constexpr OrderKey kPositiveInfinityKey{0xFFF, uint64_t{1} << 63};
inline constexpr OrderKey kNegativeInfinityKey{0, ~(uint64_t{1} << 63)};

constexpr bool time_ordinal_fits(int64_t ordinal) noexcept {
    return ordinal >= -kTimeOrdinalLimit && ordinal < kTimeOrdinalLimit;
}

// `ordinal` must fit (time_ordinal_fits).
constexpr OrderKey time_order_key(TimeKind kind, int64_t ordinal) noexcept {
    const auto biased = static_cast<uint64_t>(ordinal + kTimeOrdinalLimit);  // 0 .. 2^60 - 1
    const uint64_t tag = static_cast<uint64_t>(kind) + 1;                    // 1 .. 6: never +inf itself
    return OrderKey{0xFFF, (uint64_t{1} << 63) | (tag << 60) | biased};
}

constexpr bool is_time_key(const OrderKey& key) noexcept { return kPositiveInfinityKey < key; }

// The kind and value of a time key (is_time_key).
constexpr std::pair<TimeKind, int64_t> time_of_key(const OrderKey& key) noexcept {
    const auto tag = static_cast<uint8_t>((key.mantissa >> 60) & 7U);
    const uint64_t biased = key.mantissa & ((uint64_t{1} << 60) - 1);
    return {static_cast<TimeKind>(tag - 1), static_cast<int64_t>(biased) - kTimeOrdinalLimit};
}

// The keys of the values a search on `key` may compare with: numbers from -inf
// to +inf, or the values of one time kind.
constexpr std::pair<OrderKey, OrderKey> key_region(const OrderKey& key) noexcept {
    if (!is_time_key(key)) return {kNegativeInfinityKey, kPositiveInfinityKey};
    const TimeKind kind = time_of_key(key).first;
    return {time_order_key(kind, -kTimeOrdinalLimit), time_order_key(kind, kTimeOrdinalLimit - 1)};
}

// The next and previous keys in the 76-bit key order (none past either end).
constexpr std::optional<OrderKey> next_key(const OrderKey& key) noexcept {
    if (key.mantissa != ~uint64_t{0}) return OrderKey{key.head, key.mantissa + 1};
    if (key.head >= 0xFFF) return std::nullopt;
    return OrderKey{static_cast<uint16_t>(key.head + 1), 0};
}
constexpr std::optional<OrderKey> previous_key(const OrderKey& key) noexcept {
    if (key.mantissa != 0) return OrderKey{key.head, key.mantissa - 1};
    if (key.head == 0) return std::nullopt;
    return OrderKey{static_cast<uint16_t>(key.head - 1), ~uint64_t{0}};
}

}  // namespace vorlane

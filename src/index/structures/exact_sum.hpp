#pragma once
// The exact sum of binary numbers (ints and doubles alike): a two's-complement
// fixed-point number wide enough for every double from the smallest subnormal
// up and for 2^32 of the largest ones, kept in 64-bit limbs. Adding never
// rounds; the sum (or the sum over a count) is rounded once, to nearest with
// ties to even, when it is read.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vorlane {

class ExactSum {
public:
    // The weight of the lowest bit: below the smallest subnormal (2^-1074),
    // at a limb boundary so that the integer part starts at a limb.
    static constexpr int kLowExponent = -1088;
    // 2240 bits: magnitudes below 2^1151, far above 2^32 times the largest double.
    static constexpr size_t kLimbs = 35;

    // Adds `magnitude` * 2^`exponent` (negated when `negative`). The bits must
    // land within the range: exponent >= kLowExponent and the magnitude's top
    // bit below 2^1150 (an internal error otherwise).
    void add(unsigned __int128 magnitude, int exponent, bool negative);
    // Adds a finite double, exactly.
    void add_double(double x);
    void add_int(int64_t v) {
        const bool negative = v < 0;
        const uint64_t magnitude = negative ? ~static_cast<uint64_t>(v) + 1 : static_cast<uint64_t>(v);
        add(magnitude, 0, negative);
    }
    void add(const ExactSum& other);
    // Adds `times` copies of `other` (the product must stay within the range).
    void add_multiple(const ExactSum& other, uint64_t times);

    bool is_zero() const noexcept;
    bool is_negative() const noexcept { return (limbs_[kLimbs - 1] >> 63) != 0; }
    // The sum rounded to the nearest double (ties to even); +-inf when that is
    // beyond the largest double.
    double to_double() const noexcept;
    // The sum divided by `n` (> 0), rounded the same way, once.
    double quotient(uint64_t n) const;
    // The sum as an int, when it is an integer within 128 bits.
    std::optional<__int128> to_int128() const noexcept;

    friend bool operator==(const ExactSum&, const ExactSum&) = default;

private:
    // Little-endian limbs; bit i weighs 2^(i + kLowExponent).
    std::array<uint64_t, kLimbs> limbs_{};
};

}  // namespace vorlane

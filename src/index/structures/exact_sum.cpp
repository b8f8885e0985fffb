#include "index/structures/exact_sum.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "index/structures/errors.hpp"

namespace vorlane {

namespace {

using Limbs = std::array<uint64_t, ExactSum::kLimbs>;
constexpr int kBits = static_cast<int>(ExactSum::kLimbs * 64);
// The bit of the smallest subnormal: no double has a bit below it.
constexpr int kSubnormalBit = -1074 - ExactSum::kLowExponent;

int top_bit(const Limbs& m) noexcept {
    for (size_t i = m.size(); i-- > 0;) {
        if (m[i] != 0) return static_cast<int>(i * 64) + 63 - std::countl_zero(m[i]);
    }
    return -1;
}

bool bit_at(const Limbs& m, int i) noexcept { return ((m[static_cast<size_t>(i) / 64] >> (i % 64)) & 1U) != 0; }

// Whether any bit below bit `i` is set.
bool any_below(const Limbs& m, int i) noexcept {
    const auto limb = static_cast<size_t>(i) / 64;
    for (size_t j = 0; j < limb; ++j) {
        if (m[j] != 0) return true;
    }
    const int off = i % 64;
    return off != 0 && (m[limb] & ((uint64_t{1} << off) - 1)) != 0;
}

// Bits low...high (at most 64 of them) as an integer.
uint64_t bits_between(const Limbs& m, int low, int high) noexcept {
    const auto limb = static_cast<size_t>(low) / 64;
    const int off = low % 64;
    uint64_t v = m[limb] >> off;
    if (off != 0 && limb + 1 < m.size()) v |= m[limb + 1] << (64 - off);
    const int n = high - low + 1;
    return n >= 64 ? v : v & ((uint64_t{1} << n) - 1);
}

// A magnitude (and whether anything nonzero lies below its lowest bit)
// rounded to the nearest double, ties to even.
double round_magnitude(const Limbs& m, bool sticky_below) noexcept {
    const int top = top_bit(m);
    if (top < 0) return 0.0;  // anything below the lowest bit is far below half the smallest subnormal
    // The bit of the last place kept: 53 significant bits, or the subnormals' fixed place.
    const int ulp = std::max(top - 52, kSubnormalBit);
    uint64_t kept = top >= ulp ? bits_between(m, ulp, top) : 0;
    const bool half = bit_at(m, ulp - 1);
    const bool rest = sticky_below || any_below(m, ulp - 1);
    if (half && (rest || (kept & 1U) != 0)) ++kept;  // 2^53 after a carry is still exact
    return std::ldexp(static_cast<double>(kept), ulp + ExactSum::kLowExponent);  // +inf past the largest double
}

Limbs negated(const Limbs& m) noexcept {
    Limbs out{};
    uint64_t carry = 1;
    for (size_t i = 0; i < m.size(); ++i) {
        const uint64_t v = ~m[i] + carry;
        carry = carry != 0 && v == 0 ? 1 : 0;
        out[i] = v;
    }
    return out;
}

}  // namespace

void ExactSum::add(unsigned __int128 magnitude, int exponent, bool negative) {
    if (magnitude == 0) return;
    check(exponent >= kLowExponent, "exact sum: a bit below the lowest place");
    const int pos = exponent - kLowExponent;
    const int width = 128 - (static_cast<uint64_t>(magnitude >> 64) != 0
                                 ? std::countl_zero(static_cast<uint64_t>(magnitude >> 64))
                                 : 64 + std::countl_zero(static_cast<uint64_t>(magnitude)));
    check(pos + width <= kBits - 2, "exact sum: a bit above the highest place");
    const auto first = static_cast<size_t>(pos) / 64;
    const int off = pos % 64;
    const auto lo = static_cast<uint64_t>(magnitude);
    const auto hi = static_cast<uint64_t>(magnitude >> 64);
    const std::array<uint64_t, 3> parts =
        off == 0 ? std::array<uint64_t, 3>{lo, hi, 0}
                 : std::array<uint64_t, 3>{lo << off, (lo >> (64 - off)) | (hi << off), hi >> (64 - off)};
    uint64_t carry = 0;  // a carry when adding, a borrow when subtracting
    for (size_t i = first; i < kLimbs; ++i) {
        const uint64_t part = i - first < 3 ? parts[i - first] : 0;
        if (i - first >= 3 && carry == 0) break;
        uint64_t& limb = limbs_[i];
        if (!negative) {
            const unsigned __int128 s = static_cast<unsigned __int128>(limb) + part + carry;
            limb = static_cast<uint64_t>(s);
            carry = static_cast<uint64_t>(s >> 64);
        } else {
            const unsigned __int128 d = static_cast<unsigned __int128>(limb) - part - carry;
            limb = static_cast<uint64_t>(d);
            carry = (d >> 64) != 0 ? 1 : 0;
        }
    }
}

void ExactSum::add_double(double x) {
    check(std::isfinite(x), "exact sum: an infinity or NaN");
    const auto bits = std::bit_cast<uint64_t>(x);
    const auto field = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const bool negative = (bits >> 63) != 0;
    if (field == 0) {
        add(fraction, -1074, negative);
    } else {
        add(fraction | (uint64_t{1} << 52), field - 1075, negative);
    }
}

void ExactSum::add(const ExactSum& other) {
    uint64_t carry = 0;
    for (size_t i = 0; i < kLimbs; ++i) {
        const unsigned __int128 s = static_cast<unsigned __int128>(limbs_[i]) + other.limbs_[i] + carry;
        limbs_[i] = static_cast<uint64_t>(s);
        carry = static_cast<uint64_t>(s >> 64);
    }
}

void ExactSum::add_multiple(const ExactSum& other, uint64_t times) {
    if (times == 0) return;
    // Two's complement times an unsigned count is the product's two's
    // complement, while the product fits.
    const int top = top_bit(other.is_negative() ? negated(other.limbs_) : other.limbs_);
    check(top + std::bit_width(times) <= kBits - 2, "exact sum: a product above the highest place");
    uint64_t product_carry = 0;
    uint64_t sum_carry = 0;
    for (size_t i = 0; i < kLimbs; ++i) {
        const unsigned __int128 p = static_cast<unsigned __int128>(other.limbs_[i]) * times + product_carry;
        product_carry = static_cast<uint64_t>(p >> 64);
        const unsigned __int128 s = static_cast<unsigned __int128>(limbs_[i]) + static_cast<uint64_t>(p) + sum_carry;
        limbs_[i] = static_cast<uint64_t>(s);
        sum_carry = static_cast<uint64_t>(s >> 64);
    }
}

bool ExactSum::is_zero() const noexcept {
    return std::all_of(limbs_.begin(), limbs_.end(), [](uint64_t v) { return v == 0; });
}

double ExactSum::to_double() const noexcept {
    if (is_negative()) return -round_magnitude(negated(limbs_), false);
    return round_magnitude(limbs_, false);
}

double ExactSum::quotient(uint64_t n) const {
    check(n != 0, "exact sum: a quotient by zero");
    const bool negative = is_negative();
    Limbs m = negative ? negated(limbs_) : limbs_;
    unsigned __int128 rest = 0;
    for (size_t i = kLimbs; i-- > 0;) {
        const unsigned __int128 cur = (rest << 64) | m[i];
        m[i] = static_cast<uint64_t>(cur / n);
        rest = cur % n;
    }
    const double q = round_magnitude(m, rest != 0);
    return negative ? -q : q;
}

std::optional<__int128> ExactSum::to_int128() const noexcept {
    constexpr auto kUnit = static_cast<size_t>(-kLowExponent / 64);  // the limb of 2^0
    static_assert(-kLowExponent % 64 == 0);
    for (size_t i = 0; i < kUnit; ++i) {
        if (limbs_[i] != 0) return std::nullopt;
    }
    const auto value = static_cast<__int128>((static_cast<unsigned __int128>(limbs_[kUnit + 1]) << 64) | limbs_[kUnit]);
    const uint64_t extension = value < 0 ? ~uint64_t{0} : 0;
    for (size_t i = kUnit + 2; i < kLimbs; ++i) {
        if (limbs_[i] != extension) return std::nullopt;
    }
    return value;
}

}  // namespace vorlane

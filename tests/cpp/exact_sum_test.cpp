#include "index/structures/exact_sum.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace vorlane {
namespace {

// An independent exact sum: Shewchuk's non-overlapping partials, rounded once
// as math.fsum rounds them (valid while no partial overflows).
double partials_sum(const std::vector<double>& xs) {
    std::vector<double> p;
    for (double x : xs) {
        size_t kept = 0;
        for (double y : p) {
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double hi = x + y;
            const double lo = y - (hi - x);
            if (lo != 0.0) p[kept++] = lo;
            x = hi;
        }
        p.resize(kept);
        p.push_back(x);
    }
    size_t n = p.size();
    if (n == 0) return 0.0;
    double hi = p[--n];
    double lo = 0.0;
    while (n > 0) {
        const double x = hi;
        const double y = p[--n];
        hi = x + y;
        lo = y - (hi - x);
        if (lo != 0.0) break;
    }
    if (n > 0 && ((lo < 0 && p[n - 1] < 0) || (lo > 0 && p[n - 1] > 0))) {
        const double y = lo * 2;
        const double x = hi + y;
        if (y == x - hi) hi = x;
    }
    return hi;
}

// Doubles of every magnitude and sign, subnormals and zeros among them.
double any_double(std::mt19937_64& rng) {
    switch (rng() % 6) {
        case 0: return std::bit_cast<double>(rng() & ((uint64_t{1} << 52) - 1)) * ((rng() & 1U) ? -1 : 1);  // subnormal
        case 1: return std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 100 - 53);
        case 2: return -std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 40) - 53);
        case 3: return static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000);
        default: {
            double d = 0;
            do {
                d = std::bit_cast<double>(rng());
            } while (!std::isfinite(d) || std::fabs(d) > 1e300);
            return d;
        }
    }
}

TEST(ExactSum, RoundsOnceLikeTheExactPartials) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::vector<double> xs(rng() % 40);
        for (double& x : xs) x = any_double(rng);
        ExactSum s;
        for (double x : xs) s.add_double(x);
        const double want = partials_sum(xs);
        ASSERT_EQ(std::bit_cast<uint64_t>(s.to_double() + 0.0), std::bit_cast<uint64_t>(want + 0.0)) << round;
    }
}

TEST(ExactSum, CancellationAndTiesToEven) {
    ExactSum s;
    s.add_double(1e308);
    s.add_double(1.0);
    s.add_double(-1e308);
    EXPECT_EQ(s.to_double(), 1.0);
    EXPECT_TRUE(ExactSum().is_zero());
    ExactSum zero;
    zero.add_double(5e-324);
    zero.add_double(-5e-324);
    EXPECT_TRUE(zero.is_zero());
    EXPECT_EQ(zero.to_double(), 0.0);
    // 1 + 2^-53 is exactly half way: ties go to the even 1.0; a bit more goes up.
    ExactSum tie;
    tie.add_double(1.0);
    tie.add_double(std::ldexp(1.0, -53));
    EXPECT_EQ(tie.to_double(), 1.0);
    tie.add_double(std::ldexp(1.0, -1074));
    EXPECT_EQ(tie.to_double(), std::nextafter(1.0, 2.0));
    // 1 + 3 * 2^-53: half way between two odd and even neighbours, up to even.
    ExactSum up;
    up.add_double(1.0);
    up.add(3, -53, false);
    EXPECT_EQ(up.to_double(), 1.0 + std::ldexp(1.0, -51));
    // The smallest subnormals keep their places.
    ExactSum tiny;
    tiny.add_double(5e-324);
    tiny.add_double(5e-324);
    tiny.add_double(5e-324);
    EXPECT_EQ(tiny.to_double(), 3 * 5e-324);
}

TEST(ExactSum, BeyondTheLargestDoubleIsInfinite) {
    ExactSum s;
    s.add_double(DBL_MAX);
    s.add_double(DBL_MAX);
    EXPECT_EQ(s.to_double(), HUGE_VAL);
    EXPECT_EQ(s.quotient(2), DBL_MAX);  // the mean is still a double
    ExactSum neg;
    for (int i = 0; i < 3; ++i) neg.add_double(-DBL_MAX);
    EXPECT_EQ(neg.to_double(), -HUGE_VAL);
    EXPECT_EQ(neg.quotient(3), -DBL_MAX);
    // Less than half an ulp above the largest double still rounds down to it.
    ExactSum near;
    near.add_double(DBL_MAX);
    near.add_double(std::ldexp(1.0, 970) * 0.99);
    EXPECT_EQ(near.to_double(), DBL_MAX);
    near.add_double(std::ldexp(1.0, 970) * 0.02);
    EXPECT_EQ(near.to_double(), HUGE_VAL);
    // 2^32 of the largest double fit.
    ExactSum many;
    many.add(static_cast<unsigned __int128>(uint64_t{1} << 32) << 53, 1023 - 52 - 1, false);
    EXPECT_EQ(many.quotient(uint64_t{1} << 32), std::ldexp(1.0, 1023));
}

TEST(ExactSum, QuotientRoundsOnce) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 20000; ++round) {
        const double x = any_double(rng);
        const uint64_t n = 1 + rng() % (round % 2 == 0 ? 10 : 1000000007);
        ExactSum s;
        s.add_double(x);
        // IEEE division rounds the exact quotient once, as the sum must.
        ASSERT_EQ(s.quotient(n), x / static_cast<double>(n)) << x << " / " << n;
    }
    ExactSum third;
    third.add_int(1);
    EXPECT_EQ(third.quotient(3), 1.0 / 3.0);
    ExactSum big;  // (2^63 - 1) * 5 - 3 over 6, as Python's int division gives it
    for (int i = 0; i < 5; ++i) big.add_int(std::numeric_limits<int64_t>::max());
    big.add_int(-3);
    EXPECT_EQ(big.quotient(6), 7686143364045646848.0);
    EXPECT_THROW(big.quotient(0), std::exception);
}

TEST(ExactSum, IntsStayExact) {
    ExactSum s;
    const int64_t lo = std::numeric_limits<int64_t>::min();
    const int64_t hi = std::numeric_limits<int64_t>::max();
    __int128 want = 0;
    std::mt19937_64 rng(11);
    for (int i = 0; i < 1000; ++i) {
        const int64_t v = i % 3 == 0 ? lo : (i % 3 == 1 ? hi : static_cast<int64_t>(rng()));
        s.add_int(v);
        want += v;
    }
    ASSERT_TRUE(s.to_int128().has_value());
    EXPECT_TRUE(*s.to_int128() == want);
    ExactSum neg;
    for (int i = 0; i < 4; ++i) neg.add_int(lo);
    EXPECT_TRUE(*neg.to_int128() == static_cast<__int128>(lo) * 4);
    EXPECT_TRUE(neg.is_negative());
    ExactSum half;
    half.add_double(0.5);
    EXPECT_FALSE(half.to_int128().has_value());
    ExactSum huge;
    huge.add_double(std::ldexp(1.0, 200));
    EXPECT_FALSE(huge.to_int128().has_value());
    ExactSum big_negative;
    big_negative.add_double(-std::ldexp(1.0, 127));
    EXPECT_TRUE(*big_negative.to_int128() == -(static_cast<__int128>(1) << 126) * 2);
}

TEST(ExactSum, SumsMergeAndRefuseOutOfRange) {
    std::mt19937_64 rng(5);
    ExactSum a;
    ExactSum b;
    ExactSum both;
    for (int i = 0; i < 500; ++i) {
        const double x = any_double(rng);
        (i % 2 == 0 ? a : b).add_double(x);
        both.add_double(x);
    }
    a.add(b);
    EXPECT_EQ(a, both);
    // Copies of a sum, added at once as one by one (negative sums too).
    for (const uint64_t times : {uint64_t{1}, uint64_t{3}, uint64_t{1000}}) {
        ExactSum once;
        once.add_double(-0.1);
        once.add_int(std::numeric_limits<int64_t>::min());
        once.add_double(5e-324);
        ExactSum at_once;
        at_once.add_double(1.0);
        ExactSum one_by_one = at_once;
        at_once.add_multiple(once, times);
        for (uint64_t i = 0; i < times; ++i) one_by_one.add(once);
        EXPECT_EQ(at_once, one_by_one) << times;
    }
    ExactSum huge;  // 2^1100: 2^64 copies are beyond the range; one of the largest double's are not
    huge.add(1, 1100, false);
    EXPECT_THROW(ExactSum().add_multiple(huge, ~uint64_t{0}), std::exception);
    ExactSum largest;
    largest.add_double(-DBL_MAX);
    ExactSum copies;
    copies.add_multiple(largest, ~uint64_t{0});
    EXPECT_EQ(copies.quotient(~uint64_t{0}), -DBL_MAX);
    ExactSum s;
    EXPECT_THROW(s.add(1, ExactSum::kLowExponent - 1, false), std::exception);
    EXPECT_THROW(s.add(1, 1200, false), std::exception);
    EXPECT_THROW(s.add_double(HUGE_VAL), std::exception);
    EXPECT_TRUE(s.is_zero());
}

}  // namespace
}  // namespace vorlane

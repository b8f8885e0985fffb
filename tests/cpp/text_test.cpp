#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "index/structures/float_text.hpp"
#include "index/structures/small_string.hpp"

namespace vorlane {
namespace {

TEST(FloatText, DecimalAndExponentForms) {
    EXPECT_EQ(float_text(0.0), "0.0");
    EXPECT_EQ(float_text(-0.0), "-0.0");
    EXPECT_EQ(float_text(1.0), "1.0");
    EXPECT_EQ(float_text(-2.5), "-2.5");
    EXPECT_EQ(float_text(0.1), "0.1");
    EXPECT_EQ(float_text(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(float_text(123456789.0), "123456789.0");
    EXPECT_EQ(float_text(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(float_text(1e16), "1e16");
    EXPECT_EQ(float_text(1.5e17), "1.5e17");
    EXPECT_EQ(float_text(0.0001), "0.0001");
    EXPECT_EQ(float_text(0.00012), "0.00012");
    EXPECT_EQ(float_text(1.5e-5), "1.5e-5");
    EXPECT_EQ(float_text(-1e-7), "-1e-7");
    EXPECT_EQ(float_text(5e-324), "5e-324");
    EXPECT_EQ(float_text(std::numeric_limits<double>::max()), "1.7976931348623157e308");
    EXPECT_EQ(float_text(std::nan("")), "NaN");
    EXPECT_EQ(float_text(-std::nan("")), "NaN");
    EXPECT_EQ(float_text(INFINITY), "inf");
    EXPECT_EQ(float_text(-INFINITY), "-inf");
}

TEST(FloatText, RandomDoublesReadBack) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        const std::string text = float_text(d);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
    }
}

TEST(QuotedText, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(quoted_text("age"), "\"age\"");
    EXPECT_EQ(quoted_text("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quoted_text("\n\t\r"), "\"\\n\\t\\r\"");
    EXPECT_EQ(quoted_text(std::string("\0\x01\x7f", 3)), "\"\\0\\u{1}\\u{7f}\"");
    EXPECT_EQ(quoted_text("\xc2\x85 \xc3\xa9"), "\"\\u{85} \xc3\xa9\"");
}

TEST(SmallString, InlineUpTo15BytesAndSharedBeyond) {
    static_assert(sizeof(SmallString) == 16);
    const std::string s23(15, 'a');
    const std::string s24(16, 'b');
    SmallString a(s23), b(s24);
    EXPECT_TRUE(a.is_inline());
    EXPECT_FALSE(b.is_inline());
    EXPECT_EQ(a.view(), s23);
    EXPECT_EQ(b.view(), s24);
    SmallString b2 = b;
    EXPECT_TRUE(b2.shares_buffer_with(b));
    SmallString moved = std::move(b2);
    EXPECT_EQ(moved.view(), s24);
    SmallString assigned("x");
    assigned = moved;
    EXPECT_EQ(assigned.view(), s24);
    assigned = a;
    EXPECT_EQ(assigned, a);
    EXPECT_EQ(SmallString().view(), "");
    EXPECT_EQ(SmallString(std::string_view("a\0b", 3)).size(), 3u);
    // A string of 255 bytes or more must not be mistaken for the heap tag or
    // an inline length.
    const std::string long_text(300, 'z');
    SmallString l(long_text);
    EXPECT_EQ(l.view(), long_text);
    SmallString swapped("short");
    swapped.swap(l);
    EXPECT_EQ(swapped.view(), long_text);
    EXPECT_EQ(l.view(), "short");
}

}  // namespace
}  // namespace vorlane

namespace vorlane {
namespace {

TEST(SmallString, EqualShortStringsHaveEqualBytesHowEverMade) {
    SmallString a("city07");
    SmallString moved_from("a longer text than fits in place");
    SmallString b(std::move(moved_from));
    SmallString c("city07");
    SmallString d = c;                 // a copy
    SmallString e(std::move(c));       // moved
    EXPECT_TRUE(a.same_bytes(d));
    EXPECT_TRUE(a.same_bytes(e));
    EXPECT_EQ(a.bytes_hash(), e.bytes_hash());
    EXPECT_TRUE(moved_from.same_bytes(SmallString()));  // a moved-from string is the empty one
    EXPECT_FALSE(a.same_bytes(SmallString("city08")));
    EXPECT_FALSE(SmallString("ab").same_bytes(SmallString(std::string_view("ab\0", 3))));
    // Long strings: copies share a buffer and its bytes; an equal text made apart does not.
    SmallString f = b;
    EXPECT_TRUE(f.same_bytes(b));
    EXPECT_FALSE(SmallString("a longer text than fits in place").same_bytes(b));
}

}  // namespace
}  // namespace vorlane

#include "index/structures/fxhash.hpp"

#include <gtest/gtest.h>

namespace vorlane {
namespace {

TEST(FxHash, WordsFollowMultiplyAndRotate) {
    FxHasher h;
    h.write_u64(42);
    h.write_u64(1);
    // (((0 + 42) * K + 1) * K) rotated left by 26, computed by hand.
    EXPECT_EQ(h.finish(), 0x5516e7337cfee8c1ULL);
    EXPECT_EQ(fx_mix(7), 0x9d12ca918e61d971ULL);
    EXPECT_EQ(FxHasher{}.finish(), 0u);
}

TEST(FxHash, ByteDigestCoversEveryLengthClass) {
    // Every length class (empty, 1-3, 4-7, 8-16, long) gives distinct digests
    // for strings that differ in one byte at either end.
    for (size_t len : {0u, 1u, 2u, 3u, 4u, 7u, 8u, 15u, 16u, 17u, 31u, 32u, 33u, 100u}) {
        std::string a(len, 'x');
        EXPECT_EQ(digest_bytes(a), digest_bytes(std::string(len, 'x'))) << len;
        if (len == 0) continue;
        std::string first = a, last = a;
        first.front() = 'y';
        last.back() = 'y';
        EXPECT_NE(digest_bytes(a), digest_bytes(first)) << len;
        EXPECT_NE(digest_bytes(a), digest_bytes(last)) << len;
        EXPECT_NE(digest_bytes(a), digest_bytes(a + "x")) << len;
    }
    FxHasher s1, s2;
    s1.write_str("ab");
    s2.write_bytes("ab");
    EXPECT_NE(s1.finish(), s2.finish());  // the string form adds the 0xFF terminator word
}

}  // namespace
}  // namespace vorlane

#include "index/core/structures/m2m/m2m.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>

namespace vorlane {
namespace {

using Ids = std::vector<uint32_t>;

TEST(M2MU32, LookupsBothWays) {
    M2MU32 rel;
    EXPECT_TRUE(rel.lefts_of(Bitmap{1, 2, 3}).is_empty());
    EXPECT_TRUE(rel.rights_of(Bitmap{1, 2, 3}).is_empty());
    rel.insert(1, 2);
    rel.insert(3, 4);
    EXPECT_EQ(rel.lefts_of(Bitmap{2}).to_vector(), (Ids{1}));
    EXPECT_EQ(rel.lefts_of(Bitmap{4}).to_vector(), (Ids{3}));
    EXPECT_EQ(rel.lefts_of(Bitmap{2, 4, 9}).to_vector(), (Ids{1, 3}));
    EXPECT_EQ(rel.rights_of(Bitmap{3}).to_vector(), (Ids{4}));
    EXPECT_TRUE(rel.lefts_of(Bitmap{}).is_empty());
}

// A parent of 0x11 and 0x22 is not a parent of 0x12, although every nibble of
// 0x12 appears in one of its children.
TEST(M2MU32, NoParentsByNibbleLookAlikes) {
    M2MU32 rel;
    rel.insert(5, 0x11);
    rel.insert(5, 0x22);
    EXPECT_TRUE(rel.lefts_of(Bitmap{0x12}).is_empty());
    EXPECT_TRUE(rel.lefts_of(Bitmap{0x21}).is_empty());
    EXPECT_EQ(rel.lefts_of(Bitmap{0x22}).to_vector(), (Ids{5}));
    EXPECT_EQ(rel.rights_of(Bitmap{5}).to_vector(), (Ids{0x11, 0x22}));
}

TEST(M2MU32, DuplicatesAndRemoval) {
    M2MU32 rel;
    rel.insert(7, 8);
    rel.insert(7, 8);
    rel.insert(9, 8);
    EXPECT_EQ(rel.lefts_of(Bitmap{8}).to_vector(), (Ids{7, 9}));
    EXPECT_TRUE(rel.remove(7, 8));
    EXPECT_FALSE(rel.remove(7, 8));
    EXPECT_FALSE(rel.contains(7, 8));
    EXPECT_TRUE(rel.contains(9, 8));
    EXPECT_EQ(rel.lefts_of(Bitmap{8}).to_vector(), (Ids{9}));
    EXPECT_TRUE(rel.rights_of(Bitmap{7}).is_empty());
    EXPECT_TRUE(rel.remove(9, 8));
    EXPECT_TRUE(rel.empty());
}

// Random pairs against a set of pairs, asking with small and large id sets so
// both lookup strategies run.
TEST(M2MU32, RandomRelationMatchesPairSet) {
    std::mt19937 rng(3);
    M2MU32 rel;
    std::set<std::pair<uint32_t, uint32_t>> pairs;
    for (int i = 0; i < 3000; ++i) {
        const uint32_t a = rng() % 400 + (rng() % 2) * 100000;
        const uint32_t b = rng() % 400 + (rng() % 2) * 200000;
        rel.insert(a, b);
        pairs.insert({a, b});
    }
    for (int i = 0; i < 300; ++i) {
        const auto it = std::next(pairs.begin(), static_cast<long>(rng() % pairs.size()));
        EXPECT_TRUE(rel.remove(it->first, it->second));
        pairs.erase(it);
    }
    for (uint32_t asked_count : {1u, 5u, 50u, 5000u}) {
        Bitmap asked;
        for (uint32_t i = 0; i < asked_count; ++i) asked.add(rng() % 400 + (rng() % 2) * 200000);
        Bitmap expected;
        for (const auto& [a, b] : pairs) {
            if (asked.contains(b)) expected.add(a);
        }
        EXPECT_TRUE(rel.lefts_of(asked) == expected) << asked_count;
        Bitmap asked_left;
        for (uint32_t i = 0; i < asked_count; ++i) {
            asked_left.add(rng() % 400 + (rng() % 2) * 100000);
        }
        Bitmap expected_right;
        for (const auto& [a, b] : pairs) {
            if (asked_left.contains(a)) expected_right.add(b);
        }
        EXPECT_TRUE(rel.rights_of(asked_left) == expected_right) << asked_count;
    }
}

}  // namespace
}  // namespace vorlane

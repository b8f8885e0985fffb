#include "index/structures/centered_array/centered_array.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace vorlane {
namespace {

std::vector<uint32_t> ids(const CenteredArray& a) {
    const auto live = a.live();
    return {live.begin(), live.end()};
}

TEST(CenteredArray, PlacementAndOrder) {
    CenteredArray a;
    a.insert(10);
    EXPECT_EQ(a.start(), 2u);
    EXPECT_EQ(a.size(), 1u);

    // Every insertion order of three ids ends sorted.
    std::vector<uint32_t> order{5, 10, 20};
    do {
        CenteredArray b;
        for (uint32_t id : order) b.insert(id);
        EXPECT_EQ(ids(b), (std::vector<uint32_t>{5, 10, 20}));
    } while (std::next_permutation(order.begin(), order.end()));

    a.insert(10);
    EXPECT_EQ(a.size(), 1u);
}

TEST(CenteredArray, FifthInsertFailsAndLeavesArrayIntact) {
    CenteredArray a;
    for (uint32_t id : {4u, 1u, 3u, 2u}) a.insert(id);
    EXPECT_EQ(ids(a), (std::vector<uint32_t>{1, 2, 3, 4}));
    try {
        a.insert(9);
        FAIL() << "a fifth insert must fail";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "CenteredArray full");
    }
    // A duplicate into a full array is still refused: the length check comes first.
    EXPECT_THROW(a.insert(2), InternalError);
    EXPECT_EQ(ids(a), (std::vector<uint32_t>{1, 2, 3, 4}));
}

TEST(CenteredArray, EraseKeepsOrderFromEverySlot) {
    for (uint32_t victim : {1u, 2u, 3u, 4u, 7u}) {
        CenteredArray a;
        for (uint32_t id : {3u, 1u, 4u, 2u}) a.insert(id);
        const bool present = victim <= 4;
        EXPECT_EQ(a.erase(victim), present);
        std::vector<uint32_t> expected;
        for (uint32_t id : {1u, 2u, 3u, 4u}) {
            if (id != victim) expected.push_back(id);
        }
        EXPECT_EQ(ids(a), expected) << "victim " << victim;
        // The freed slot is usable again, whichever side the gap was closed from.
        if (present) {
            a.insert(0);
            expected.insert(expected.begin(), 0);
            EXPECT_EQ(ids(a), expected);
        }
    }
    CenteredArray empty;
    EXPECT_FALSE(empty.erase(1));
}

TEST(CenteredArray, UnionMergesAndRecentres) {
    CenteredArray a;
    a.insert(1);
    a.insert(3);
    CenteredArray b;
    b.insert(2);
    b.insert(3);
    a.union_with(b);
    EXPECT_EQ(ids(a), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(a.start(), 0u);
    EXPECT_EQ(ids(b), (std::vector<uint32_t>{2, 3}));

    CenteredArray one;
    one.insert(1);
    one.union_with(CenteredArray{});
    EXPECT_EQ(ids(one), (std::vector<uint32_t>{1}));
    EXPECT_EQ(one.start(), 1u);
    CenteredArray pair;
    pair.insert(8);
    CenteredArray other;
    other.insert(2);
    pair.union_with(other);
    EXPECT_EQ(ids(pair), (std::vector<uint32_t>{2, 8}));
    EXPECT_EQ(pair.start(), 1u);

    CenteredArray three;
    for (uint32_t id : {1u, 2u, 3u}) three.insert(id);
    CenteredArray two;
    two.insert(4);
    two.insert(5);
    EXPECT_THROW(three.union_with(two), InternalError);
}

// Against a std::set under random inserts and erases: no id lost or doubled.
TEST(CenteredArray, RandomOperationsMatchReferenceSet) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        CenteredArray a;
        std::set<uint32_t> reference;
        for (int step = 0; step < 12; ++step) {
            const uint32_t id = rng() % 8;
            if (rng() % 3 == 0) {
                EXPECT_EQ(a.erase(id), reference.erase(id) == 1);
            } else if (reference.size() < 4) {
                a.insert(id);
                reference.insert(id);
            }
            ASSERT_EQ(ids(a), std::vector<uint32_t>(reference.begin(), reference.end()));
            ASSERT_LE(a.start() + a.size(), CenteredArray::kCapacity);
        }
    }
}

}  // namespace
}  // namespace vorlane

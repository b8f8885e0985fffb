#include "index/core/structures/positional_bitmap/positional_bitmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vorlane {
namespace {

// Tags each position by putting the id `tag` into byte slot `tag % 256`, so a
// position can be followed through expansions.
void tag_positions(PositionalBitmap& p, uint32_t first_tag) {
    for (size_t pos = 0; pos < p.len(); ++pos) {
        const uint32_t tag = first_tag + static_cast<uint32_t>(pos);
        p.slot(pos, tag % 256).bitmap().add(tag);
    }
}

std::vector<uint32_t> tags_at(const PositionalBitmap& p, size_t pos) {
    std::vector<uint32_t> out;
    for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) {
        for (uint32_t id : p.slot(pos, slot).bitmap().to_vector()) out.push_back(id);
    }
    return out;
}

TEST(PositionalBitmap, ExpandRoundsUpToEvenLengths) {
    PositionalBitmap a;
    a.expand_map(1);
    EXPECT_EQ(a.len(), 2u);
    PositionalBitmap b;
    b.expand_map(3);
    EXPECT_EQ(b.len(), 4u);
    b.expand_map(2);  // not longer: nothing to do
    EXPECT_EQ(b.len(), 4u);
    EXPECT_THROW(b.level(4), InternalError);
    EXPECT_THROW(b.slot(0, 257), InternalError);
}

TEST(PositionalBitmap, ExpandKeepsOldPositionsAroundTheMiddle) {
    PositionalBitmap p;
    p.expand_map(2);
    tag_positions(p, 100);  // position 0 holds 100, position 1 holds 101
    p.slot(1, 'z').push(7);  // a pending id travels with its position
    p.expand_map(6);
    ASSERT_EQ(p.len(), 6u);
    EXPECT_EQ(tags_at(p, 2), (std::vector<uint32_t>{100}));
    EXPECT_EQ(tags_at(p, 3), (std::vector<uint32_t>{101}));
    for (size_t fresh : {0u, 1u, 4u, 5u}) {
        EXPECT_TRUE(tags_at(p, fresh).empty()) << fresh;
        for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) {
            EXPECT_EQ(p.slot(fresh, slot).pending_count(), 0u);
        }
    }
    EXPECT_EQ(p.slot(3, 'z').pending_count(), 1u);

    // Odd growth: 6 -> 12 adds 3 on each side; every old position shifts by 3.
    tag_positions(p, 1000);
    p.expand_map(11);
    ASSERT_EQ(p.len(), 12u);
    for (size_t old = 0; old < 6; ++old) {
        std::vector<uint32_t> tags = tags_at(p, old + 3);
        EXPECT_NE(std::find(tags.begin(), tags.end(), 1000 + old), tags.end()) << old;
    }
    for (size_t fresh : {0u, 1u, 2u, 9u, 10u, 11u}) EXPECT_TRUE(tags_at(p, fresh).empty());

    // New positions are independent of one another.
    p.slot(0, 5).bitmap().add(1);
    EXPECT_FALSE(p.slot(1, 5).bitmap().contains(1));
    EXPECT_FALSE(p.slot(11, 5).bitmap().contains(1));
}

// Strings laid out by start_of before and after an expansion must coincide,
// or a stored string would no longer be found by the same lookup.
TEST(PositionalBitmap, StartPositionsStayConsistentAcrossExpansions) {
    PositionalBitmap p;
    p.expand_map(2);
    EXPECT_EQ(p.start_of(2), 0u);  // "ab" at 0..1
    p.expand_map(4);
    EXPECT_EQ(p.start_of(4), 0u);  // "abcd" at 0..3
    EXPECT_EQ(p.start_of(2), 1u);  // "ab" moved to 1..2 and is still found there
    for (size_t grow : {6u, 7u, 10u, 15u, 40u}) {
        const size_t before_len = p.len();
        std::vector<size_t> before;
        for (size_t n = 1; n <= before_len; ++n) before.push_back(p.start_of(n));
        p.expand_map(grow);
        const size_t shift = (p.len() - before_len) / 2;
        for (size_t n = 1; n <= before_len; ++n) {
            EXPECT_EQ(p.start_of(n), before[n - 1] + shift) << "n " << n << " grow " << grow;
        }
        for (size_t n = 1; n <= p.len(); ++n) {
            const size_t s = p.start_of(n);
            EXPECT_LE(s + n, p.len());
            EXPECT_LT(s, p.middle());  // starts left of the middle
            EXPECT_GE(s + n, p.middle());  // last byte s + n - 1 is at or right of middle - 1
        }
    }
    EXPECT_THROW(p.start_of(p.len() + 1), InternalError);
    EXPECT_THROW(p.start_of(0), InternalError);
}

TEST(PositionalBitmap, FlushAndRetainCoverEveryPosition) {
    PositionalBitmap p;
    p.expand_map(4);
    for (uint32_t id = 1; id <= 40; ++id) p.slot(id % 4, id % 3).push(id);
    p.flush();
    uint64_t total = 0;
    for (size_t pos = 0; pos < 4; ++pos) {
        for (size_t slot = 0; slot < 3; ++slot) total += p.slot(pos, slot).bitmap().cardinality();
    }
    EXPECT_EQ(total, 40u);
    p.slot(2, PositionalBitmap::kEdgeSlot).push(41);
    p.retain(Bitmap{1, 2, 41});
    total = 0;
    for (size_t pos = 0; pos < 4; ++pos) {
        for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) {
            total += p.slot(pos, slot).bitmap().cardinality();
        }
    }
    EXPECT_EQ(total, 3u);
    EXPECT_TRUE(p.edge(2).bitmap().contains(41));
}

}  // namespace
}  // namespace vorlane

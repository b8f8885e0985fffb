#include "index/structures/id_alloc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "index/structures/errors.hpp"

namespace vorlane {
namespace {

// Declared first: ctest runs each case in its own process, and a whole-binary run
// keeps declaration order, so this is the first allocation either way. Every
// case leaves the free list as it found it (empty), so later cases can reason
// about the counter.
TEST(IdAlloc, FreshProcessStartsAtOneAndCountsUp) {
    const uint32_t first = allocate_id();
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(allocate_id(), 2u);
    EXPECT_EQ(allocate_id(), 3u);
}

TEST(IdAlloc, FreedIdsComeBackLastFreedFirstAndNeverMoveTheCounter) {
    const uint32_t a = allocate_id();
    const uint32_t b = allocate_id();
    const uint32_t c = allocate_id();
    EXPECT_NE(a, 0u);
    EXPECT_EQ(b, a + 1);
    EXPECT_EQ(c, b + 1);

    free_id(b);
    free_id(c);
    EXPECT_EQ(allocate_id(), c);
    EXPECT_EQ(allocate_id(), b);
    // Free list empty again: the counter continues where it was, after c.
    EXPECT_EQ(allocate_id(), c + 1);

    // A longer run comes back in exact reverse order.
    std::vector<uint32_t> ids;
    for (int i = 0; i < 100; ++i) ids.push_back(allocate_id());
    for (uint32_t id : ids) free_id(id);
    std::vector<uint32_t> again;
    for (int i = 0; i < 100; ++i) again.push_back(allocate_id());
    std::reverse(again.begin(), again.end());
    EXPECT_EQ(again, ids);
}

TEST(IdAlloc, ABlockComesOutAsOneByOneCallsWouldHandItOut) {
    std::vector<uint32_t> freed;
    for (int i = 0; i < 5; ++i) freed.push_back(allocate_id());
    const uint32_t counter = freed.back() + 1;
    for (uint32_t id : freed) free_id(id);
    // Five reused ids, last freed first, then three never-used ones.
    std::vector<uint32_t> block(8);
    allocate_ids(block);
    EXPECT_EQ(block, (std::vector<uint32_t>{freed[4], freed[3], freed[2], freed[1], freed[0], counter, counter + 1,
                                            counter + 2}));
    allocate_ids(std::span<uint32_t>());  // an empty block takes nothing
    EXPECT_EQ(allocate_id(), counter + 3);
    for (uint32_t id : block) free_id(id);
    free_id(counter + 3);
    std::vector<uint32_t> again(9);
    allocate_ids(again);
    EXPECT_EQ(again.front(), counter + 3);
    EXPECT_EQ(std::set<uint32_t>(again.begin(), again.end()).size(), 9u);
    for (uint32_t id : again) free_id(id);
    for (int i = 0; i < 9; ++i) (void)allocate_id();  // leave the free list empty
}

TEST(IdAlloc, IdsFreedTogetherComeBackInTheOrderGiven) {
    std::vector<uint32_t> ids(6);
    allocate_ids(ids);
    const uint32_t single = allocate_id();
    free_id(single);
    free_ids(ids);  // on top of the single one
    free_ids(std::span<const uint32_t>());
    for (uint32_t id : ids) EXPECT_EQ(allocate_id(), id);
    std::vector<uint32_t> rest(2);
    allocate_ids(rest);
    EXPECT_EQ(rest[0], single);
    EXPECT_EQ(rest[1], single + 1);  // free list empty: the counter goes on
    free_ids(rest);
    for (int i = 0; i < 2; ++i) (void)allocate_id();  // leave the free list empty
}

TEST(IdAlloc, ConcurrentCallersNeverShareALiveId) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    std::vector<std::vector<uint32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&got, t] {
            // Churn the free list too, so reuse and minting interleave.
            for (int i = 0; i < kPerThread; ++i) {
                const uint32_t keep = allocate_id();
                const uint32_t scratch = allocate_id();
                free_id(scratch);
                got[t].push_back(keep);
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<uint32_t> all;
    for (const auto& ids : got) all.insert(ids.begin(), ids.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(all.count(0u), 0u);
    // Hand back the scratch ids still on the free list, so the list ends empty.
    for (const auto& ids : got)
        for (uint32_t id : ids) free_id(id);
}

TEST(IdAlloc, ExhaustionRaisesInsteadOfRepeatingALiveId) {
    constexpr uint32_t kLast = std::numeric_limits<uint32_t>::max();
    detail::set_next_id_for_testing(uint64_t{kLast} - 1);
    std::set<uint32_t> live;
    // Drain whatever earlier cases left free, then the last two never-used ids.
    for (;;) {
        uint32_t id = 0;
        try {
            id = allocate_id();
        } catch (const InternalError& e) {
            EXPECT_EQ(e.message(), "id space exhausted");
            break;
        }
        ASSERT_TRUE(live.insert(id).second) << "live id " << id << " handed out twice";
        ASSERT_NE(id, 0u);
        ASSERT_LT(live.size(), 100000u) << "allocator never ran out";
    }
    EXPECT_EQ(live.count(kLast - 1), 1u);
    EXPECT_EQ(live.count(kLast), 1u);
    // Still exhausted on the next call: no wrap to 0 or 1.
    EXPECT_THROW((void)allocate_id(), InternalError);

    // Running out does not break the allocator: a freed id is handed out again.
    free_id(kLast - 1);
    EXPECT_EQ(allocate_id(), kLast - 1);
    EXPECT_THROW((void)allocate_id(), InternalError);

    // A block that does not fit takes nothing: the free ids stay free, in order.
    free_id(kLast - 1);
    free_id(kLast);
    std::vector<uint32_t> block(3);
    EXPECT_THROW(allocate_ids(block), InternalError);
    std::vector<uint32_t> two(2);
    allocate_ids(two);
    EXPECT_EQ(two, (std::vector<uint32_t>{kLast, kLast - 1}));
    EXPECT_THROW((void)allocate_id(), InternalError);
}

}  // namespace
}  // namespace vorlane

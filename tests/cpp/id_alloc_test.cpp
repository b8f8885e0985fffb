#include "index/core/id_alloc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "index/core/structures/errors.hpp"

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
}

}  // namespace
}  // namespace vorlane

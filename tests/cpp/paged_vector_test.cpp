#include "index/structures/paged_vector.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vorlane {
namespace {

TEST(PagedVector, EntriesNeverMoveAsItGrows) {
    PagedVector<std::string, 2> v;  // pages of 4, 8, 16, ...
    std::vector<const std::string*> where;
    for (int i = 0; i < 1000; ++i) {
        where.push_back(&v.emplace_back("value " + std::to_string(i) + std::string(40, 'x')));
    }
    ASSERT_EQ(v.size(), 1000u);
    for (size_t i = 0; i < where.size(); ++i) {
        EXPECT_EQ(&v[i], where[i]);
        EXPECT_EQ(v[i], "value " + std::to_string(i) + std::string(40, 'x'));
    }
    v[17] = "changed";
    const PagedVector<std::string, 2>& read = v;
    EXPECT_EQ(read[17], "changed");
    size_t seen = 0;
    read.for_each([&](const std::string&) { ++seen; });
    EXPECT_EQ(seen, 1000u);
    // Pages of 4 to 512 hold 1,020 slots: at most twice what is used, never less.
    EXPECT_GE(read.memory_bytes(), 1000 * sizeof(std::string));
    EXPECT_LE(read.memory_bytes(), 2100 * sizeof(std::string));
}

TEST(PagedVector, EveryEntryIsDestroyedOnceWhereverItWent) {
    const auto alive = std::make_shared<int>(0);
    {
        PagedVector<std::shared_ptr<int>, 3> v;
        for (int i = 0; i < 50; ++i) v.emplace_back(alive);
        EXPECT_EQ(alive.use_count(), 51);
        PagedVector<std::shared_ptr<int>, 3> moved(std::move(v));
        EXPECT_EQ(v.size(), 0u);
        EXPECT_EQ(moved.size(), 50u);
        EXPECT_EQ(alive.use_count(), 51);
        PagedVector<std::shared_ptr<int>, 3> other;
        other.emplace_back(alive);
        other = std::move(moved);  // the one it held goes
        EXPECT_EQ(alive.use_count(), 51);
        other.clear();
        EXPECT_EQ(alive.use_count(), 1);
        other.emplace_back(alive);  // usable after clear
        EXPECT_EQ(other.size(), 1u);
    }
    EXPECT_EQ(alive.use_count(), 1);
}

}  // namespace
}  // namespace vorlane

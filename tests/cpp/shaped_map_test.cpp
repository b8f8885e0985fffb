#include "index/structures/shaped_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace vorlane {
namespace {

// A move-only value that records when the value it carries is released; a
// moved-from shell carries nothing and records nothing.
struct Releases {
    std::map<int, int> count;  // tag -> times released
    int live = 0;
};

class Tracked {
public:
    Tracked(int tag, Releases* log) : tag_(tag), log_(log) { ++log_->live; }
    Tracked(Tracked&& other) noexcept : tag_(other.tag_), log_(std::exchange(other.log_, nullptr)) {}
    Tracked& operator=(Tracked&&) = delete;
    Tracked(const Tracked&) = delete;
    ~Tracked() {
        if (log_ == nullptr) return;
        ++log_->count[tag_];
        --log_->live;
    }
    int tag() const { return tag_; }

private:
    int tag_;
    Releases* log_;
};

using Map = ShapedMap<Tracked>;

std::vector<std::pair<uint32_t, int>> entries(const Map& m) {
    std::vector<std::pair<uint32_t, int>> out;
    m.for_each([&out](uint32_t k, const Tracked& v) { out.emplace_back(k, v.tag()); });
    return out;
}

TEST(ShapedMap, KeepsEntryOrderAndReplacesInPlace) {
    Releases log;
    Map m;
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.get(3), nullptr);
    for (uint32_t k = 0; k < 40; ++k) m.insert(1000 + k * 7, Tracked(static_cast<int>(k), &log));
    EXPECT_EQ(m.size(), 40U);
    m.insert(1000 + 5 * 7, Tracked(500, &log));  // replaced where it stood
    EXPECT_EQ(log.count[5], 1);
    EXPECT_EQ(m.size(), 40U);
    const auto got = entries(m);
    for (uint32_t k = 0; k < 40; ++k) {
        EXPECT_EQ(got[k].first, 1000 + k * 7);
        EXPECT_EQ(got[k].second, k == 5 ? 500 : static_cast<int>(k));
        ASSERT_NE(m.get(1000 + k * 7), nullptr);  // found through the table's index past 16 keys
    }
    EXPECT_EQ(m.get(1001), nullptr);
    EXPECT_EQ(log.live, 40);
}

TEST(ShapedMap, MapsWithTheSameKeysInTheSameOrderShareOneTable) {
    Releases log;
    Map a, b, c;
    for (uint32_t k : {4U, 9U, 2U}) {
        a.insert(k, Tracked(1, &log));
        b.insert(k, Tracked(2, &log));
    }
    for (uint32_t k : {4U, 2U, 9U}) c.insert(k, Tracked(3, &log));
    EXPECT_EQ(a.shape(), b.shape());
    EXPECT_TRUE(a.shape()->is_shared());
    EXPECT_NE(a.shape(), c.shape());  // another order, another table
    EXPECT_EQ(a.shape()->key(2), 2U);
    EXPECT_EQ(a.at(*a.shape()->find(9)).tag(), 1);
    EXPECT_EQ(b.at(*b.shape()->find(9)).tag(), 2);
}

TEST(ShapedMap, KeysNoOtherMapHasGoToAPrivateTable) {
    Releases log;
    // More children under one table than sharing pays for.
    std::vector<Map> maps(KeyShape::kMaxChildren + 10);
    for (size_t i = 0; i < maps.size(); ++i) {
        maps[i].insert(77777, Tracked(0, &log));
        maps[i].insert(static_cast<uint32_t>(500000 + i), Tracked(static_cast<int>(i), &log));
    }
    EXPECT_TRUE(maps.front().shape()->is_shared());
    EXPECT_FALSE(maps.back().shape()->is_shared());
    for (size_t i = 0; i < maps.size(); ++i) {
        ASSERT_NE(maps[i].get(static_cast<uint32_t>(500000 + i)), nullptr);
        EXPECT_EQ(maps[i].get(static_cast<uint32_t>(500000 + i))->tag(), static_cast<int>(i));
        EXPECT_EQ(maps[i].get(static_cast<uint32_t>(500001 + i + maps.size())), nullptr);
    }
    // A map past the largest shared table extends its own in place.
    Map big;
    for (uint32_t k = 0; k < KeyShape::kMaxSharedKeys + 50; ++k) big.insert(900000 + k, Tracked(static_cast<int>(k), &log));
    EXPECT_FALSE(big.shape()->is_shared());
    for (uint32_t k = 0; k < KeyShape::kMaxSharedKeys + 50; ++k) EXPECT_EQ(big.get(900000 + k)->tag(), static_cast<int>(k));
    const int before = log.live;
    { Map moved(std::move(big)); EXPECT_TRUE(big.empty()); }
    EXPECT_EQ(log.live, before - static_cast<int>(KeyShape::kMaxSharedKeys + 50));
}

TEST(ShapedMap, MovesAndReleasesEveryValueOnce) {
    Releases log;
    {
        Map m;
        m.reserve(3);
        for (int k = 0; k < 3; ++k) m.insert(static_cast<uint32_t>(k), Tracked(k, &log));
        Map other;
        other.insert(1, Tracked(9, &log));
        other = std::move(m);  // other's value is released
        EXPECT_EQ(log.count[9], 1);
        EXPECT_EQ(entries(other).size(), 3U);
        EXPECT_TRUE(m.empty());
        m.insert(5, Tracked(5, &log));  // a moved-from map is usable
        EXPECT_EQ(m.get(5)->tag(), 5);
    }
    EXPECT_EQ(log.live, 0);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(log.count[k], 1);
}

}  // namespace
}  // namespace vorlane

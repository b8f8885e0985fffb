#include "index/hybrid_hashmap.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorlane {
namespace {

// A move-only value with no default constructor that records when the value
// it carries is released. A moved-from shell carries nothing and records nothing.
struct Releases {
    std::map<int, int> count;  // tag -> times released
    int live = 0;
};

class Tracked {
public:
    Tracked(int tag, Releases* log) : tag_(tag), log_(log) { ++log_->live; }
    Tracked(Tracked&& other) noexcept
        : tag_(other.tag_), log_(std::exchange(other.log_, nullptr)) {}
    Tracked& operator=(Tracked&& other) noexcept {
        if (this != &other) {
            release();
            tag_ = other.tag_;
            log_ = std::exchange(other.log_, nullptr);
        }
        return *this;
    }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    ~Tracked() { release(); }
    int tag() const { return tag_; }

private:
    void release() {
        if (log_ == nullptr) return;
        ++log_->count[tag_];
        --log_->live;
        log_ = nullptr;
    }
    int tag_;
    Releases* log_;
};

using Map = HybridHashmap<uint32_t, Tracked>;

std::vector<std::pair<uint32_t, int>> entries(const Map& m) {
    std::vector<std::pair<uint32_t, int>> out;
    m.for_each([&out](uint32_t k, const Tracked& v) { out.emplace_back(k, v.tag()); });
    return out;
}

TEST(HybridHashmap, SmallFormKeepsInsertionOrderAndReplacesInPlace) {
    Releases log;
    Map m;
    EXPECT_TRUE(m.is_small());
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(m.get(0), nullptr);

    // Keys deliberately out of numeric order: iteration must follow insertion.
    const std::vector<uint32_t> keys = {70, 3, 500, 0, 9, 41, 2, 8};
    for (size_t i = 0; i < keys.size(); ++i) m.insert(keys[i], Tracked(static_cast<int>(i), &log));
    EXPECT_TRUE(m.is_small());
    EXPECT_EQ(m.size(), 8u);
    EXPECT_EQ(m.get(1), nullptr);
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_NE(m.get(keys[i]), nullptr);
        EXPECT_EQ(m.get(keys[i])->tag(), static_cast<int>(i));
    }

    // Re-insert into the full small map: replaced where it stands, old value
    // released once, no switch, count unchanged.
    m.insert(500, Tracked(100, &log));
    EXPECT_TRUE(m.is_small());
    EXPECT_EQ(m.size(), 8u);
    EXPECT_EQ(log.count[2], 1);
    EXPECT_EQ(m.get(500)->tag(), 100);
    const std::vector<std::pair<uint32_t, int>> expected = {{70, 0}, {3, 1}, {500, 100}, {0, 3},
                                                            {9, 4},  {41, 5}, {2, 6},   {8, 7}};
    EXPECT_EQ(entries(m), expected);
    EXPECT_EQ(log.live, 8);

    // Mutable access writes through.
    *m.get(9) = Tracked(200, &log);
    EXPECT_EQ(log.count[4], 1);
    EXPECT_EQ(m.get(9)->tag(), 200);
}

TEST(HybridHashmap, NinthDistinctKeySwitchesToHashMapAndKeepsEverything) {
    Releases log;
    {
        Map m;
        for (uint32_t k = 0; k < 8; ++k) m.insert(k * 7, Tracked(static_cast<int>(k), &log));
        ASSERT_TRUE(m.is_small());
        m.insert(1000, Tracked(8, &log));
        EXPECT_FALSE(m.is_small());
        EXPECT_EQ(m.size(), 9u);
        for (uint32_t k = 0; k < 8; ++k) {
            ASSERT_NE(m.get(k * 7), nullptr) << k;
            EXPECT_EQ(m.get(k * 7)->tag(), static_cast<int>(k));
        }
        EXPECT_EQ(m.get(1000)->tag(), 8);
        EXPECT_EQ(m.get(1), nullptr);
        // Moving the pairs across released none of the carried values.
        EXPECT_TRUE(log.count.empty());
        EXPECT_EQ(log.live, 9);

        // Large form: replace releases the old value, count unchanged; the form
        // never goes back.
        m.insert(14, Tracked(50, &log));
        EXPECT_EQ(log.count[2], 1);
        EXPECT_EQ(m.get(14)->tag(), 50);
        EXPECT_EQ(m.size(), 9u);
        for (uint32_t k = 2000; k < 2100; ++k) m.insert(k, Tracked(static_cast<int>(k), &log));
        EXPECT_EQ(m.size(), 109u);
        EXPECT_FALSE(m.is_small());

        std::map<uint32_t, int> seen;
        m.for_each([&seen](uint32_t k, const Tracked& v) {
            EXPECT_TRUE(seen.emplace(k, v.tag()).second);
        });
        EXPECT_EQ(seen.size(), 109u);
        EXPECT_EQ(seen[14], 50);
        EXPECT_EQ(seen[2050], 2050);
    }
    // Dropping the map released every value still held, exactly once.
    EXPECT_EQ(log.live, 0);
    for (const auto& [tag, n] : log.count) EXPECT_EQ(n, 1) << "tag " << tag;
    EXPECT_EQ(log.count.size(), 110u);  // 109 held at the end plus the one replaced
}

TEST(HybridHashmap, PartlyFilledSmallMapReleasesOnlyItsLiveSlots) {
    // Shared handles, as attribute values hold them: the use count shows each
    // stored copy let go exactly once and no phantom slot released.
    auto a = std::make_shared<std::string>("a");
    auto b = std::make_shared<std::string>("b");
    {
        HybridHashmap<uint32_t, std::shared_ptr<std::string>> m;
        m.insert(1, a);
        m.insert(2, b);
        m.insert(3, a);
        EXPECT_EQ(a.use_count(), 3);
        m.insert(3, b);  // replacing drops one hold of a
        EXPECT_EQ(a.use_count(), 2);
        EXPECT_EQ(b.use_count(), 3);

        // Moving the map moves the holds instead of copying them.
        HybridHashmap<uint32_t, std::shared_ptr<std::string>> moved(std::move(m));
        EXPECT_EQ(a.use_count(), 2);
        EXPECT_EQ(*moved.get(3), b);
        EXPECT_EQ(moved.size(), 3u);
    }
    EXPECT_EQ(a.use_count(), 1);
    EXPECT_EQ(b.use_count(), 1);

    // A record that can be moved but not assigned is replaced by destroy and
    // rebuild, still releasing the old hold once.
    struct Frozen {
        const int tag;
        std::shared_ptr<std::string> hold;
    };
    static_assert(!std::is_move_assignable_v<Frozen>);
    {
        HybridHashmap<uint32_t, Frozen> m;
        m.insert(5, Frozen{1, a});
        m.insert(5, Frozen{2, b});
        EXPECT_EQ(m.get(5)->tag, 2);
        EXPECT_EQ(a.use_count(), 1);
        EXPECT_EQ(b.use_count(), 2);
        for (uint32_t k = 10; k < 18; ++k) m.insert(k, Frozen{0, a});
        ASSERT_FALSE(m.is_small());
        EXPECT_EQ(a.use_count(), 9);
        m.insert(12, Frozen{3, b});
        EXPECT_EQ(m.get(12)->tag, 3);
        EXPECT_EQ(a.use_count(), 8);
    }
    EXPECT_EQ(a.use_count(), 1);
    EXPECT_EQ(b.use_count(), 1);
}

}  // namespace
}  // namespace vorlane

#include "index/structures/shards/hashmap/hashmap.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "index/structures/hybrid_set/hybrid_set.hpp"

namespace vorlane {
namespace {

// A key that carries its hash, as values do; distinct keys may share a hash.
struct Key {
    uint64_t hash;
    int payload;
    bool operator==(const Key&) const = default;
};
struct KeyHash {
    uint64_t operator()(const Key& k) const noexcept { return k.hash; }
};
using SetMap = ShardedHashMap<Key, HybridSet, KeyHash>;

TEST(ShardedHashMap, ShardChoiceFollowsStoredHash) {
    SetMap map;
    EXPECT_EQ(map.shard_count(), 16u);
    for (uint64_t h : {0ULL, 1ULL, 0xdeadbeefULL, ~0ULL}) {
        // Keys with one stored hash share a shard, whatever else they hold.
        EXPECT_EQ(map.shard_index(Key{h, 1}), map.shard_index(Key{h, 2}));
        EXPECT_EQ(map.shard_index(Key{h, 1}), fx_mix(h) & 15);
    }
    // The mixing spreads consecutive hashes over every shard.
    std::vector<int> used(16);
    for (uint64_t h = 0; h < 256; ++h) used[map.shard_index(Key{h, 0})]++;
    for (int count : used) EXPECT_GT(count, 0);
    EXPECT_THROW(map.read_shard(16), InternalError);
    EXPECT_THROW(SetMap(12), InternalError);
    EXPECT_EQ(SetMap::with_shard_count(4).shard_count(), 4u);
}

TEST(ShardedHashMap, GetReturnsIndependentDeepCopies) {
    SetMap map;
    const Key k{42, 0};
    EXPECT_FALSE(map.get(k).has_value());
    EXPECT_EQ(map.size(), 0u);  // a miss inserts nothing
    {
        auto shard = map.get_shard(k);
        auto& set = (*shard)[k];
        for (uint32_t id : {1u, 2u, 3u, 4u}) set.add(id);
    }
    std::optional<HybridSet> copy = map.get(k);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->form(), HybridSet::Form::Bitmap);
    copy->add(99);
    copy->remove(1);
    EXPECT_EQ(map.get(k)->to_vector(), (std::vector<uint32_t>{1, 2, 3, 4}));

    // A same-hash key with other contents is a different entry.
    EXPECT_FALSE(map.get(Key{42, 1}).has_value());
}

TEST(ShardedHashMap, CollidingHashesAndWholeMapWalk) {
    SetMap map;
    std::map<std::pair<uint64_t, int>, std::vector<uint32_t>> reference;
    std::mt19937 rng(5);
    for (uint32_t id = 1; id <= 2000; ++id) {
        const Key k{rng() % 64, static_cast<int>(rng() % 3)};  // many shared hashes
        (*map.get_shard(k))[k].add(id);
        reference[{k.hash, k.payload}].push_back(id);
    }
    EXPECT_EQ(map.size(), reference.size());
    for (const auto& [key, ids] : reference) {
        const auto got = map.get(Key{key.first, key.second});
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->to_vector(), ids);
    }
    // Every entry lives in the shard its key names, and each is seen once.
    size_t seen = 0;
    size_t shard_no = 0;
    map.for_each_shard([&](const SetMap::Map& shard) {
        for (const auto& [key, set] : shard) {
            EXPECT_EQ(map.shard_index(key), shard_no);
            ++seen;
        }
        ++shard_no;
    });
    EXPECT_EQ(seen, reference.size());
    map.for_each_shard_mut([](SetMap::Map& shard) {
        for (auto& [key, set] : shard) set.retain(Bitmap{1, 2, 3});
    });
    uint64_t left = 0;
    map.for_each_shard([&](const SetMap::Map& shard) {
        for (const auto& [key, set] : shard) left += set.size();
    });
    EXPECT_EQ(left, 3u);
}

TEST(ShardedHashMap, PoisonedShardFailsOnlyItsOwnKeys) {
    using IntMap = ShardedHashMap<uint64_t, int, std::identity>;
    IntMap map;
    uint64_t other = 1;
    while (map.shard_index(other) == map.shard_index(0)) ++other;
    try {
        auto shard = map.get_shard(0);
        (*shard)[0] = 1;
        fail("broken invariant while writing");
    } catch (const InternalError&) {
    }
    EXPECT_THROW(map.get(0), InternalError);
    EXPECT_THROW(map.get_shard(0), InternalError);
    (*map.get_shard(other))[other] = 5;
    EXPECT_EQ(map.get(other), 5);
}

TEST(ShardedHashMap, ConcurrentWritersOnDifferentKeysLoseNothing) {
    using IntMap = ShardedHashMap<uint64_t, uint64_t, std::identity>;
    IntMap map;
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < 4; ++t) {
        threads.emplace_back([&map, t] {
            for (uint64_t i = 0; i < 5000; ++i) {
                const uint64_t key = i % 100;
                (*map.get_shard(key))[key] += 1;
                (void)map.get(key + t);
            }
        });
    }
    for (auto& th : threads) th.join();
    uint64_t total = 0;
    map.for_each_shard([&](const IntMap::Map& shard) {
        for (const auto& [k, v] : shard) total += v;
    });
    EXPECT_EQ(total, 20000u);
}

}  // namespace
}  // namespace vorlane

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "index/structures/exact_sum.hpp"
#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/structures/time_key.hpp"

namespace vorlane {
namespace {

// Keys of every kind the structure holds: ints of all sizes and signs, floats
// of all magnitudes (subnormals, infinities, zero) and times.
class Keys {
public:
    explicit Keys(uint64_t seed) : rng_(seed) {}

    OrderKey any() {
        switch (rng_() % 10) {
            case 0: return int_order_key(static_cast<int64_t>(rng_()));
            case 1: {
                const auto near = static_cast<int64_t>(rng_() % 3);
                return int_order_key(rng_() % 2 ? std::numeric_limits<int64_t>::min() + near
                                                : std::numeric_limits<int64_t>::max() - near);
            }
            case 2: return int_order_key(static_cast<int64_t>(rng_() % 201) - 100);
            case 3: {
                double d = 0;
                do {
                    d = std::bit_cast<double>(rng_());
                } while (std::isnan(d));
                return *float_order_key(d);
            }
            case 4: {  // subnormal
                const double d = std::bit_cast<double>(rng_() % (uint64_t{1} << 52));
                return *float_order_key(rng_() % 2 ? d : -d);
            }
            case 5: return *float_order_key(rng_() % 2 ? HUGE_VAL : -HUGE_VAL);
            case 6: {
                const auto kind = static_cast<TimeKind>(rng_() % kTimeKinds);
                return time_order_key(kind, static_cast<int64_t>(rng_() % 100000));
            }
            default: return *float_order_key((static_cast<double>(rng_() % 20001) - 10000.0) / 64.0);
        }
    }
    // Ints 0...99 and floats in [0, 100): the benchmarks' ages and scores.
    OrderKey age() { return int_order_key(static_cast<int64_t>(rng_() % 100)); }
    OrderKey score() { return *float_order_key(static_cast<double>(rng_() >> 11) * 0x1p-53 * 100.0); }
    uint64_t next() { return rng_(); }

private:
    std::mt19937_64 rng_;
};

// The head totals of the ids of `of` among `keys`, key by key.
std::vector<HeadTotal> brute_totals(const std::map<uint32_t, OrderKey>& keys, const std::vector<uint32_t>& of) {
    std::map<uint16_t, HeadTotal> by_head;
    for (uint32_t id : of) {
        const auto it = keys.find(id);
        if (it == keys.end()) continue;
        HeadTotal& t = by_head[it->second.head];
        t.head = it->second.head;
        const uint64_t magnitude = t.negative() ? ~it->second.mantissa : it->second.mantissa;
        ++t.count;
        t.magnitudes += magnitude;
        t.bits |= magnitude;
    }
    std::vector<HeadTotal> out;
    for (const auto& [head, t] : by_head) out.push_back(t);
    return out;
}

std::vector<uint32_t> some_ids(Keys& rng, uint32_t universe, uint64_t share_of_256) {
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id < universe; ++id) {
        if (rng.next() % 256 < share_of_256) ids.push_back(id);
    }
    return ids;
}

Bitmap bitmap_of(const std::vector<uint32_t>& ids) { return Bitmap(std::span<const uint32_t>(ids)); }

// The ids of the structure, kept beside it as a map.
struct Mirror {
    NumericalBitmap numbers;
    std::map<uint32_t, OrderKey> keys;

    explicit Mirror(size_t small_limit) : numbers(small_limit) {}
    void insert(uint32_t id, const OrderKey& key) {
        if (const auto it = keys.find(id); it != keys.end()) {
            numbers.replace_soon(id, it->second, key);
        } else {
            numbers.insert(id, key);
        }
        keys[id] = key;
    }
    void remove(uint32_t id) {
        const auto it = keys.find(id);
        if (it == keys.end()) return;
        numbers.remove_soon(id, it->second);
        keys.erase(it);
    }
    void check(const std::vector<uint32_t>& of) {
        numbers.settle_removals();
        numbers.flush();
        ASSERT_EQ(numbers.head_totals(bitmap_of(of)), brute_totals(keys, of));
    }
};

TEST(HeadTotals, MatchTheKeysThroughWritesAndRemovals) {
    for (const size_t small_limit : {size_t{64}, size_t{0}}) {
        Keys rng(small_limit + 1);
        Mirror m(small_limit);
        constexpr uint32_t kUniverse = 3000;
        for (uint32_t id = 0; id < kUniverse; ++id) {
            if (rng.next() % 5 != 0) m.insert(id, id % 3 == 0 ? rng.any() : rng.score());
        }
        for (int round = 0; round < 30; ++round) {
            m.check(some_ids(rng, kUniverse + 100, 1 + rng.next() % 255));
            for (int k = 0; k < 200; ++k) {
                const auto id = static_cast<uint32_t>(rng.next() % kUniverse);
                if (rng.next() % 3 == 0) {
                    m.remove(id);
                } else {
                    m.insert(id, rng.next() % 2 ? rng.any() : rng.age());
                }
            }
        }
        m.check({});
        m.check(some_ids(rng, kUniverse, 256));
    }
}

TEST(HeadTotals, FollowRetainAndMerge) {
    Keys rng(9);
    Mirror a(0);
    Mirror b(16);
    for (uint32_t id = 0; id < 2000; ++id) {
        if (id % 2 == 0) a.insert(id, rng.any());
        if (id % 3 == 0) b.insert(id + 5000, rng.age());
    }
    const std::vector<uint32_t> kept = some_ids(rng, 2000, 128);
    a.numbers.retain(bitmap_of(kept));
    std::erase_if(a.keys, [&](const auto& e) { return !std::binary_search(kept.begin(), kept.end(), e.first); });
    a.check(some_ids(rng, 2000, 256));
    const std::vector<uint32_t> objects = some_ids(rng, 8000, 200);
    a.numbers.merge_from(b.numbers, bitmap_of(objects));
    for (const auto& [id, key] : b.keys) {
        if (std::binary_search(objects.begin(), objects.end(), id)) a.keys[id] = key;
    }
    a.check(some_ids(rng, 8000, 256));
    a.check(some_ids(rng, 8000, 10));
}

// The exact sum of the keys' numbers, from their head totals: each mantissa
// weighs 2^(exponent - 1086), subnormals at exponent 1.
ExactSum sum_of(const std::vector<HeadTotal>& totals) {
    ExactSum s;
    for (const HeadTotal& t : totals) {
        const int field = (t.negative() ? ~t.head : t.head) & 0x7FF;
        if (field == 0x7FF) continue;
        s.add(t.magnitudes, std::max(field, 1) - 1086, t.negative());
    }
    return s;
}

TEST(HeadTotals, WeighedByHeadTheyGiveTheExactSum) {
    Keys rng(4);
    NumericalBitmap numbers(0);
    ExactSum want;
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id < 4000; ++id) {
        double d = 0;
        switch (id % 4) {
            case 0: {
                const auto exponent = static_cast<int>(rng.next() % 300) - 200;
                d = std::ldexp(static_cast<double>(rng.next() >> 11), exponent);
                break;
            }
            case 1: d = std::bit_cast<double>(rng.next() % (uint64_t{1} << 52)); break;
            case 2: d = -static_cast<double>(rng.next() % 1000); break;
            default: {
                const auto v = static_cast<int64_t>(rng.next());
                numbers.insert(id, int_order_key(v));
                want.add_int(v);
                ids.push_back(id);
                continue;
            }
        }
        if (rng.next() % 2) d = -d;
        numbers.insert(id, *float_order_key(d));
        want.add_double(d);
        ids.push_back(id);
    }
    EXPECT_EQ(sum_of(numbers.head_totals(bitmap_of(ids))), want);
    std::vector<Bitmap> groups;
    groups.push_back(bitmap_of(ids));
    groups.emplace_back();
    EXPECT_EQ(sum_of(numbers.head_totals_in_one_pass(groups)[0]), want);
    EXPECT_EQ(sum_of(numbers.head_totals_of_groups(groups)[0]), want);
}

// Groups of `universe` ids: `count` disjoint ones drawn at random, or, when
// `overlapping`, each id in any number of them.
std::vector<std::vector<uint32_t>> draw_groups(Keys& rng, uint32_t universe, size_t count, bool overlapping) {
    std::vector<std::vector<uint32_t>> groups(count);
    for (uint32_t id = 0; id < universe; ++id) {
        if (overlapping) {
            for (auto& g : groups) {
                if (rng.next() % 3 == 0) g.push_back(id);
            }
        } else if (rng.next() % 8 != 0) {
            groups[rng.next() % count].push_back(id);
        }
    }
    return groups;
}

void expect_groups_as_one_by_one(const NumericalBitmap& numbers, const std::vector<std::vector<uint32_t>>& drawn) {
    std::vector<Bitmap> groups;
    for (const auto& g : drawn) groups.push_back(bitmap_of(g));
    const auto together = numbers.head_totals_in_one_pass(groups);
    const auto chosen = numbers.head_totals_of_groups(groups);
    ASSERT_EQ(together.size(), groups.size());
    for (size_t g = 0; g < groups.size(); ++g) {
        const auto alone = numbers.head_totals(groups[g]);
        ASSERT_EQ(together[g], alone) << "group " << g;
        ASSERT_EQ(chosen[g], alone) << "group " << g;
    }
}

TEST(HeadTotals, GroupsInOnePassAsOneByOne) {
    Keys rng(21);
    // Keys whose varying bits fit one bit matrix (ages, scores) and keys that
    // need two (every kind), over ids dense and sparse in their words.
    for (int kind = 0; kind < 4; ++kind) {
        NumericalBitmap numbers(16);
        constexpr uint32_t kUniverse = 70000;  // more than one chunk of ids
        for (uint32_t id = 0; id < kUniverse; ++id) {
            if (rng.next() % 10 == 0) continue;  // ids without a key
            const OrderKey key = kind == 0 ? rng.age() : kind == 1 ? rng.score() : rng.any();
            if (kind == 3 && rng.next() % 2) {
                numbers.push(id, key);  // entered by a bulk add, some waiting in buffers
            } else {
                numbers.insert(id, key);
            }
        }
        numbers.flush();
        for (const size_t count : {size_t{2}, size_t{7}, size_t{60}}) {
            expect_groups_as_one_by_one(numbers, draw_groups(rng, kUniverse + 64, count, false));
        }
        expect_groups_as_one_by_one(numbers, draw_groups(rng, kUniverse, 9, true));  // several passes
        // Sparse groups: a few ids a word, read id by id.
        std::vector<std::vector<uint32_t>> sparse(3);
        for (uint32_t id = 0; id < kUniverse; id += 1 + static_cast<uint32_t>(rng.next() % 40)) {
            sparse[rng.next() % 3].push_back(id);
        }
        expect_groups_as_one_by_one(numbers, sparse);
    }
}

TEST(HeadTotals, ManyGroupsOverManyHeadsTakeSeveralPasses) {
    // Thousands of heads leave room for few groups a pass.
    Keys rng(5);
    NumericalBitmap numbers(0);
    constexpr uint32_t kUniverse = 20000;
    for (uint32_t id = 0; id < kUniverse; ++id) {
        double d = 0;
        do {
            d = std::bit_cast<double>(rng.next());
        } while (std::isnan(d));
        numbers.insert(id, *float_order_key(d));
    }
    ASSERT_GT(numbers.head_bits().size(), size_t{3000});
    std::vector<std::vector<uint32_t>> groups(500);
    for (uint32_t id = 0; id < kUniverse; ++id) groups[id % groups.size()].push_back(id);
    expect_groups_as_one_by_one(numbers, groups);
}

TEST(HeadTotals, HeadBitsKeepEveryHeadEntered) {
    NumericalBitmap numbers(0);
    numbers.insert(1, int_order_key(3));
    numbers.insert(2, int_order_key(2));
    numbers.insert(3, int_order_key(-3));
    numbers.remove(1, int_order_key(3));
    const auto heads = numbers.head_bits();
    ASSERT_EQ(heads.size(), size_t{2});
    EXPECT_EQ(heads[0].head, int_order_key(-3).head);
    EXPECT_EQ(heads[1].head, int_order_key(3).head);  // 2 and 3 share it
    EXPECT_EQ(heads[1].any, int_order_key(3).mantissa);
    EXPECT_EQ(heads[1].all, int_order_key(2).mantissa);
    // The removed id's key is gone from the totals, not from the head's bits.
    const auto totals = numbers.head_totals(Bitmap{1, 2, 3});
    ASSERT_EQ(totals.size(), size_t{2});
    EXPECT_EQ(totals[1].count, uint64_t{1});
    EXPECT_TRUE(totals[1].magnitudes == int_order_key(2).mantissa);
    EXPECT_EQ(totals[0].bits, ~int_order_key(-3).mantissa);
}

}  // namespace
}  // namespace vorlane

#include "index/structures/value_ids/value_ids.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/structures/positional_bitmap/positional_bitmap.hpp"

namespace vorlane {
namespace {

using Numbers = ValueIds<OrderKey, OrderKeyHash>;
constexpr size_t kKept = Numbers::kAlwaysKept;

TEST(ValueIds, KeepsFewValuesAndDropsWhenValuesOutgrowIds) {
    Numbers ids;
    for (uint32_t i = 0; i < kKept; ++i) ids.insert(int_order_key(i), i);
    ASSERT_TRUE(ids.active());
    EXPECT_EQ(ids.value_count(), kKept);
    // Many ids under the known values: a new value is welcome while ids outnumber values enough.
    uint32_t next = static_cast<uint32_t>(kKept);
    while ((kKept + 1) * Numbers::kIdsPerValue > next) ids.insert(int_order_key(next % 10), next), ++next;
    ids.insert(int_order_key(-1), next++);
    ASSERT_TRUE(ids.active());
    EXPECT_EQ(ids.find(int_order_key(-1), nullptr).to_vector(), std::vector<uint32_t>{next - 1});
    // One value per id from here on: dropped once values outgrow an eighth of the ids.
    while (ids.active()) ids.insert(int_order_key(-2 - static_cast<int64_t>(next)), next), ++next;
    EXPECT_EQ(ids.value_count(), 0U);
    ids.insert(int_order_key(5), next);  // stays dropped
    EXPECT_FALSE(ids.active());
}

TEST(ValueIds, RemoveRetainMergeKeepExactSets) {
    Numbers a;
    for (uint32_t i = 0; i < 100; ++i) a.insert(int_order_key(i % 7), i);
    a.insert(int_order_key(3), 3);  // again: no second entry
    a.remove(int_order_key(3), 3);
    EXPECT_FALSE(a.find(int_order_key(3), nullptr).contains(3));
    a.remove(int_order_key(3), 3);    // not there any more: nothing happens
    a.remove(int_order_key(99), 5);   // never entered under this value
    EXPECT_TRUE(a.find(int_order_key(5), nullptr).contains(5));
    for (uint32_t i = 6; i < 100; i += 7) a.remove(int_order_key(6), i);
    EXPECT_EQ(a.value_count(), 6U);  // the emptied value is gone
    Bitmap keep;
    for (uint32_t i = 0; i < 100; i += 2) keep.add(i);
    a.retain(keep);
    const Bitmap fives = a.find(int_order_key(5), nullptr);
    EXPECT_EQ(fives.cardinality(), 7U);  // 12, 26, ..., 96
    for (uint32_t id : fives.to_vector()) EXPECT_TRUE(id % 2 == 0 && id % 7 == 5);
    const Bitmap candidates{12, 13, 26};
    EXPECT_EQ(a.find(int_order_key(5), &candidates).to_vector(), (std::vector<uint32_t>{12, 26}));

    Numbers b;
    b.insert(int_order_key(5), 1000);
    b.insert(int_order_key(8), 1001);
    a.merge_from(b, Bitmap{1001});
    EXPECT_FALSE(a.find(int_order_key(5), nullptr).contains(1000));
    EXPECT_EQ(a.find(int_order_key(8), nullptr).to_vector(), std::vector<uint32_t>{1001});
    b.drop();
    a.merge_from(b, Bitmap{1000});  // a dropped table cannot tell its ids apart any more
    EXPECT_FALSE(a.active());
}

// Keys that meet under rekey join their ids; merging through a key map puts
// the other table's ids under the mapped keys.
TEST(ValueIds, RemoveBatchTakesExactlyItsPairsInAnyOrder) {
    // Batches above and below the size a radix sort takes, given ascending by
    // id (as settles give them) and shuffled; a pair under another value than
    // its id's, or for an id never entered, takes nothing.
    std::mt19937 rng(9);
    for (const uint32_t n : {40u, 3000u}) {
        for (const bool shuffled : {false, true}) {
            Numbers ids;
            std::map<uint32_t, int64_t> model;
            for (uint32_t i = 0; i < n; ++i) {
                model[i] = static_cast<int64_t>(rng() % 13);
                ids.insert(int_order_key(model[i]), i);
            }
            std::vector<std::pair<uint32_t, int64_t>> batch;
            for (uint32_t i = 0; i < n; ++i) {
                if (rng() % 3 == 0) batch.emplace_back(i, model[i]);
            }
            batch.emplace_back(n + 5, 1);        // never entered
            batch.emplace_back(0, model[0] + 1);  // not under this value
            std::sort(batch.begin(), batch.end());
            if (shuffled) std::shuffle(batch.begin(), batch.end(), rng);
            ids.remove_batch(batch, [](int64_t v) { return int_order_key(v); });
            for (const auto& [id, v] : batch) {
                const auto it = model.find(id);
                if (it != model.end() && it->second == v) model.erase(it);
            }
            EXPECT_EQ(ids.id_count(), model.size());
            for (int64_t v = 0; v < 13; ++v) {
                std::vector<uint32_t> want;
                for (const auto& [id, value] : model) {
                    if (value == v) want.push_back(id);
                }
                EXPECT_EQ(ids.find(int_order_key(v), nullptr).to_vector(), want) << "n=" << n << " v=" << v;
            }
        }
    }
}

TEST(ValueIds, RekeyJoinsSetsAndMergeMapsKeys) {
    ValueIds<uint32_t, BucketHash> buckets;
    for (uint32_t id = 0; id < 300; ++id) buckets.insert(id % 12, id);
    buckets.rekey([](uint32_t key) { return key / 4; });
    EXPECT_EQ(buckets.value_count(), 3U);
    EXPECT_EQ(buckets.id_count(), 300U);
    for (uint32_t key = 0; key < 3; ++key) {
        const Bitmap ids = buckets.find(key, nullptr);
        EXPECT_EQ(ids.cardinality(), 100U);
        ids.for_each([&](uint32_t id) { EXPECT_EQ(id % 12 / 4, key); });
    }
    buckets.remove(1U, 4U);  // 4 sits under 4 / 4 = 1 now
    EXPECT_FALSE(buckets.find(1U, nullptr).contains(4));

    ValueIds<uint32_t, BucketHash> other;
    other.insert(20U, 1000);
    other.insert(21U, 1001);
    other.insert(21U, 1002);
    buckets.merge_from(other, Bitmap{1000, 1001}, [](uint32_t key) { return key - 20; });
    EXPECT_TRUE(buckets.find(0U, nullptr).contains(1000));
    EXPECT_TRUE(buckets.find(1U, nullptr).contains(1001));
    EXPECT_FALSE(buckets.find(1U, nullptr).contains(1002));
    EXPECT_EQ(buckets.find(20U, nullptr).cardinality(), 0U);
    EXPECT_EQ(buckets.id_count(), 301U);
}

// Equality from the numbers' structure agrees with a scan whether the table
// answers or the slices do, through removals and narrowing.
TEST(ValueIds, NumericalEqualityMatchesScanAcrossTheDrop) {
    for (const uint32_t distinct : {50U, 100000U}) {
        NumericalBitmap bits(0);
        std::map<uint32_t, int64_t> values;
        std::mt19937 rng(distinct);
        for (uint32_t id = 0; id < 20000; ++id) {
            const auto v = static_cast<int64_t>(rng() % distinct) - 20;
            bits.insert(id * 3, int_order_key(v));
            values[id * 3] = v;
        }
        for (uint32_t id = 0; id < 20000; id += 5) {
            bits.remove(id * 3, int_order_key(values[id * 3]));
            values.erase(id * 3);
        }
        Bitmap keep;
        for (const auto& [id, v] : values) {
            if (id % 4 != 0) keep.add(id);
        }
        bits.retain(keep);
        std::erase_if(values, [&](const auto& e) { return !keep.contains(e.first); });
        for (int64_t probe = -21; probe < 40; ++probe) {
            Bitmap want;
            for (const auto& [id, v] : values) {
                if (v == probe) want.add(id);
            }
            ASSERT_TRUE(bits.get_eq(int_order_key(probe)) == want) << distinct << " " << probe;
            const Bitmap some{0, 3, 6, 9, 30, 33};
            ASSERT_TRUE(bits.get_eq(int_order_key(probe), &some) == want.and_(some)) << distinct << " " << probe;
        }
    }
}

TEST(ValueIds, StringEqualityMatchesScanAcrossTheDrop) {
    for (const uint32_t distinct : {30U, 50000U}) {
        PositionalBitmap strings(0);
        std::map<uint32_t, std::string> values;
        std::mt19937 rng(distinct);
        for (uint32_t id = 0; id < 10000; ++id) {
            std::string s = "k" + std::to_string(rng() % distinct);
            if (id % 3 == 0) s += "-long-enough-to-leave-inline";
            strings.insert(id, s);
            values[id] = s;
        }
        for (uint32_t id = 0; id < 10000; id += 7) {
            strings.remove(id, values[id]);
            values.erase(id);
        }
        for (uint32_t k = 0; k < 40; ++k) {
            for (const std::string& probe : {"k" + std::to_string(k), "k" + std::to_string(k) + "-long-enough-to-leave-inline"}) {
                Bitmap want;
                for (const auto& [id, v] : values) {
                    if (v == probe) want.add(id);
                }
                ASSERT_TRUE(strings.equal(probe) == want) << distinct << " " << probe;
            }
        }
        EXPECT_TRUE(strings.equal("").is_empty());
        EXPECT_TRUE(strings.equal("k").is_empty());
        // Several needles at once answer as the union of each, with the table and without.
        const std::vector<std::string> owned = {"k3", "k7-long-enough-to-leave-inline", "", "absent", "k3"};
        const std::vector<std::string_view> needles(owned.begin(), owned.end());
        Bitmap candidates;
        for (uint32_t id = 0; id < 10000; id += 2) candidates.add(id);
        for (const Bitmap* c : {static_cast<const Bitmap*>(nullptr), static_cast<const Bitmap*>(&candidates)}) {
            Bitmap want;
            for (const std::string& needle : owned) want.or_inplace(strings.equal(needle, c));
            ASSERT_TRUE(strings.equal_any(needles, c) == want) << distinct;
        }
    }
}


// Ranges read off the key buckets agree with a scan: ends inside one bucket,
// in neighbouring buckets, across many, and past the span the buckets answer.
TEST(ValueIds, BetweenFromBucketsMatchesScan) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> uniform(0.0, 100.0);
    NumericalBitmap bits(0);
    std::map<uint32_t, double> values;
    for (uint32_t id = 0; id < 30000; ++id) {
        const double v = id % 10 == 0 ? static_cast<double>(rng() % 50) : uniform(rng);
        bits.insert(id * 2 + 1, *float_order_key(v));
        values[id * 2 + 1] = v;
    }
    for (uint32_t id = 1; id < 60000; id += 14) {
        bits.remove(id, *float_order_key(values[id]));
        values.erase(id);
    }
    Bitmap candidates;
    for (const auto& [id, v] : values) {
        if (id % 3 != 0) candidates.add(id);
    }
    const std::pair<double, double> ranges[] = {
        {30.0, 31.0}, {30.0, 30.0}, {30.01, 30.02}, {31.9, 32.1}, {0.0, 100.0}, {-5.0, 0.5},
        {1e-9, 2.0}, {7.0, 7.0}, {99.0, 250.0}, {12.5, 12.5000001}, {40.0, 41.0}};
    for (const auto& [low, high] : ranges) {
        Bitmap want;
        for (const auto& [id, v] : values) {
            if (v >= low && v <= high && candidates.contains(id)) want.add(id);
        }
        Bitmap got{4000000000U};
        bits.get_between_into_base(*float_order_key(low), *float_order_key(high), got, candidates);
        want.add(4000000000U);
        ASSERT_TRUE(got == want) << low << ".." << high << ": " << got.cardinality() << " vs " << want.cardinality();
    }
    // One-sided ranges near either end of the keys entered read the buckets too.
    for (const double probe : {-1.0, 0.0, 0.5, 3.0, 30.0, 64.0, 95.5, 99.99, 100.0, 1e6}) {
        const OrderKey key = *float_order_key(probe);
        void (NumericalBitmap::*searches[])(const OrderKey&, Bitmap&, const Bitmap&) const = {
            &NumericalBitmap::get_gt_into_base, &NumericalBitmap::get_gte_into_base,
            &NumericalBitmap::get_lt_into_base, &NumericalBitmap::get_lte_into_base};
        for (size_t k = 0; k < 4; ++k) {
            Bitmap want{4000000000U};
            for (const auto& [id, v] : values) {
                const bool in = k == 0 ? v > probe : k == 1 ? v >= probe : k == 2 ? v < probe : v <= probe;
                if (in && candidates.contains(id)) want.add(id);
            }
            Bitmap got{4000000000U};
            (bits.*searches[k])(key, got, candidates);
            ASSERT_TRUE(got == want) << probe << " search " << k;
        }
    }
    // Too many values for a table of keys: equality reads the key's bucket and
    // the bits below it, for keys present, removed and never entered.
    std::vector<double> probes = {-1.0, 0.0, 7.0, 30.0, 30.5, 1e6};
    for (uint32_t id = 3; id < 60000; id += 997) probes.push_back(values.count(id) ? values[id] : 1.5);
    for (int k = 0; k < 50; k += 7) probes.push_back(static_cast<double>(k));  // held by many ids
    for (const double probe : probes) {
        Bitmap want;
        for (const auto& [id, v] : values) {
            if (v == probe && candidates.contains(id)) want.add(id);
        }
        ASSERT_TRUE(bits.get_eq(*float_order_key(probe), &candidates) == want) << probe;
    }
}

// Small integers fill a bucket each: whole buckets are taken or skipped at the
// ends of a range, and keys moved out of a bucket leave its bounds wider than
// its keys, which must not let a search take ids it should not.
TEST(ValueIds, IntegerBucketsTakenWholeMatchScan) {
    NumericalBitmap bits(0);
    std::map<uint32_t, int64_t> values;
    std::mt19937 rng(11);
    for (uint32_t id = 1; id <= 20000; ++id) {
        const int64_t v = static_cast<int64_t>(rng() % 100);
        bits.insert(id, int_order_key(v));
        values[id] = v;
    }
    // 300 and 301 share a bucket (its low bits tell them apart); then 301 leaves.
    for (uint32_t id = 1; id <= 20000; id += 50) {
        bits.remove(id, int_order_key(values[id]));
        values[id] = id % 100 == 1 ? 301 : 300;
        bits.insert(id, int_order_key(values[id]));
    }
    for (uint32_t id = 1; id <= 20000; id += 100) {
        bits.remove(id, int_order_key(values[id]));
        values.erase(id);
    }
    Bitmap candidates;
    for (const auto& [id, v] : values) {
        if (id % 4 != 0) candidates.add(id);
    }
    const auto scan = [&](auto pred) {
        Bitmap want;
        for (const auto& [id, v] : values) {
            if (pred(v) && candidates.contains(id)) want.add(id);
        }
        return want;
    };
    for (const auto& [low, high] : std::vector<std::pair<int64_t, int64_t>>{
             {40, 45}, {42, 42}, {0, 99}, {-3, 5}, {89, 1000}, {300, 300}, {301, 301}, {300, 301}, {50, 300}}) {
        Bitmap got;
        bits.get_between_into_base(int_order_key(low), int_order_key(high), got, candidates);
        ASSERT_TRUE(got == scan([&](int64_t v) { return v >= low && v <= high; })) << low << ".." << high;
    }
    for (const int64_t probe : {-1, 0, 42, 89, 99, 100, 300, 301, 302}) {
        const OrderKey key = int_order_key(probe);
        Bitmap got;
        bits.get_gt_into_base(key, got, candidates);
        ASSERT_TRUE(got == scan([&](int64_t v) { return v > probe; })) << "gt " << probe;
        got.clear();
        bits.get_lte_into_base(key, got, candidates);
        ASSERT_TRUE(got == scan([&](int64_t v) { return v <= probe; })) << "le " << probe;
        ASSERT_TRUE(bits.get_eq(key, &candidates) == scan([&](int64_t v) { return v == probe; })) << "eq " << probe;
    }
    const std::vector<OrderKey> keys = {int_order_key(3), int_order_key(300), int_order_key(1000), int_order_key(3)};
    ASSERT_TRUE(bits.get_eq_any(keys, &candidates) ==
                scan([](int64_t v) { return v == 3 || v == 300 || v == 1000; }));
}

}  // namespace
}  // namespace vorlane

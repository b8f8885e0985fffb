#include "index/structures/bitmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace vorlane {
namespace {

TEST(Bitmap, SetAlgebraAndIterationOrder) {
    Bitmap a{9, 1, 5, 70000};
    Bitmap b{5, 9, 12};
    EXPECT_EQ(a.cardinality(), 4u);
    EXPECT_EQ(a.and_(b).to_vector(), (std::vector<uint32_t>{5, 9}));
    EXPECT_EQ(a.or_(b).to_vector(), (std::vector<uint32_t>{1, 5, 9, 12, 70000}));
    EXPECT_EQ(a.andnot(b).to_vector(), (std::vector<uint32_t>{1, 70000}));
    EXPECT_EQ(a.and_cardinality(b), 2u);
    EXPECT_EQ(a.maximum(), 70000u);

    std::vector<uint32_t> seen;
    a.for_each([&](uint32_t id) { seen.push_back(id); });
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 5, 9, 70000}));
    seen.clear();
    a.for_each([&](uint32_t id) {
        seen.push_back(id);
        return seen.size() < 2;
    });
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 5}));
}

TEST(Bitmap, SortedAddsMatchAddingOneByOne) {
    // Ascending runs laid out as containers: sparse and dense (> 4096 ids in one
    // 65,536-id chunk), across chunk boundaries, up to the largest id, into
    // empty targets and targets holding arrays, bitsets and runs already.
    std::mt19937 rng(7);
    const auto ascending = [&](uint32_t from, uint32_t span, double density) {
        std::vector<uint32_t> ids;
        std::bernoulli_distribution keep(density);
        for (uint64_t id = from; id < uint64_t{from} + span && id <= UINT32_MAX; ++id) {
            if (keep(rng)) ids.push_back(static_cast<uint32_t>(id));
        }
        return ids;
    };
    const std::vector<std::vector<uint32_t>> inputs = {
        ascending(0, 4096, 0.5),          ascending(65000, 2000, 0.9),  ascending(10, 200000, 0.3),
        ascending(131072, 65536, 0.07),   ascending(70000, 300, 0.5),   ascending(UINT32_MAX - 5000, 6000, 0.95),
        ascending(1 << 20, 70000, 1.0),   ascending(5, 100, 0.8),
    };
    for (int start = 0; start < 4; ++start) {
        Bitmap sorted;
        Bitmap single;
        std::set<uint32_t> want;
        if (start == 1) {
            sorted.add_range(60000, 140000);
            single.add_range(60000, 140000);
            for (uint32_t id = 60000; id <= 140000; ++id) want.insert(id);
        } else if (start == 2) {
            for (uint32_t id = 3; id < 300000; id += 7) {
                sorted.add(id);
                single.add(id);
                want.insert(id);
            }
        } else if (start == 3) {
            sorted.add(5);
            single.add(5);
            sorted.remove(5);
            single.remove(5);  // created and emptied again
        }
        for (const auto& ids : inputs) {
            sorted.add_sorted(ids);
            for (uint32_t id : ids) single.add(id);
            want.insert(ids.begin(), ids.end());
            ASSERT_EQ(sorted.cardinality(), want.size());
            EXPECT_EQ(sorted, single);
        }
        EXPECT_EQ(sorted.to_vector(), std::vector<uint32_t>(want.begin(), want.end()));
    }

    // Input that is not strictly ascending is still added whole.
    std::vector<uint32_t> mixed = ascending(0, 100000, 0.2);
    std::vector<uint32_t> repeated = mixed;
    std::swap(mixed[10], mixed[mixed.size() - 10]);
    repeated.push_back(repeated.back());
    for (const auto* ids : {&mixed, &repeated}) {
        Bitmap b{4, 99999999};
        b.add_sorted(*ids);
        std::set<uint32_t> want(ids->begin(), ids->end());
        want.insert({4, 99999999});
        EXPECT_EQ(b.to_vector(), std::vector<uint32_t>(want.begin(), want.end()));
    }
    Bitmap empty;
    empty.add_sorted(std::span<const uint32_t>());
    EXPECT_TRUE(empty.is_empty());
}

TEST(Bitmap, InPlaceOperationsIncludingSelf) {
    Bitmap a{1, 2, 3};
    a.and_inplace(a);
    EXPECT_EQ(a.cardinality(), 3u);
    a.or_inplace(a);
    EXPECT_EQ(a.cardinality(), 3u);
    a.or_inplace(Bitmap{4});
    a.andnot_inplace(Bitmap{1, 4});
    EXPECT_EQ(a.to_vector(), (std::vector<uint32_t>{2, 3}));
    a.andnot_inplace(a);
    EXPECT_TRUE(a.is_empty());
}

TEST(Bitmap, CloneIsIndependentAndMovedFromIsEmpty) {
    Bitmap a{1, 2};
    Bitmap c = a.clone();
    c.add(3);
    a.remove(1);
    EXPECT_EQ(a.to_vector(), (std::vector<uint32_t>{2}));
    EXPECT_EQ(c.to_vector(), (std::vector<uint32_t>{1, 2, 3}));

    Bitmap moved = std::move(c);
    EXPECT_EQ(moved.cardinality(), 3u);
    EXPECT_TRUE(c.is_empty());  // NOLINT(bugprone-use-after-move): moved-from is a valid empty set
    Bitmap d{7};
    d.overwrite(moved);
    EXPECT_TRUE(d == moved);
    d.clear();
    EXPECT_TRUE(d.is_empty());
    EXPECT_EQ(d.maximum(), 0u);
}

}  // namespace

// Random removals from one long run (as a slice bit every id shares, or a set
// made of runs, holds it) leave exactly the ids not removed, whatever form
// the container takes on the way; checked removal says whether the id was there.
TEST(Bitmap, RemovalsFromLongRunsKeepExactlyTheRest) {
    Bitmap bits;
    bits.add_range(0, 200000);
    bits.run_optimize();
    std::set<uint32_t> model;
    for (uint32_t id = 0; id <= 200000; ++id) model.insert(id);
    std::mt19937 rng(3);
    for (int k = 0; k < 60000; ++k) {
        const uint32_t id = rng() % 200001;
        const bool there = model.erase(id) == 1;
        if (k % 2 == 0) {
            EXPECT_EQ(bits.remove_checked(id), there);
        } else {
            bits.remove(id);
        }
    }
    EXPECT_EQ(bits.cardinality(), model.size());
    EXPECT_TRUE(bits.to_vector() == std::vector<uint32_t>(model.begin(), model.end()));
    EXPECT_FALSE(bits.remove_checked(200001));
    Bitmap none;
    EXPECT_FALSE(none.remove_checked(1));
}

}  // namespace vorlane

namespace vorlane {
namespace {

// The ids for_each_word hands over, each word's bits spelled out, with the
// words' order and alignment checked on the way.
std::vector<uint32_t> ids_by_words(const Bitmap& bits) {
    std::vector<uint32_t> out;
    bool any = false;
    uint32_t last_first = 0;
    bits.for_each_word([&](uint32_t first, uint64_t word) {
        EXPECT_EQ(first % 64, 0u);
        EXPECT_NE(word, 0u);
        if (any) {
            EXPECT_GT(first, last_first);
        }
        any = true;
        last_first = first;
        for (uint64_t w = word; w != 0; w &= w - 1) out.push_back(first + static_cast<uint32_t>(std::countr_zero(w)));
    });
    return out;
}

// Chunks kept as arrays, bitsets and runs, ids at the ends of words and of
// chunks, and the top of the id range: every id comes back once, in order.
TEST(Bitmap, WordsCoverEveryFormOfChunk) {
    EXPECT_TRUE(ids_by_words(Bitmap()).empty());

    Bitmap bits;
    bits.add_many(std::vector<uint32_t>{0, 63, 64, 127, 65535});  // an array chunk
    std::mt19937 rng(11);
    for (int k = 0; k < 30000; ++k) bits.add(65536 + rng() % 65536);  // a bitset chunk
    bits.add_range(3 * 65536 + 10, 3 * 65536 + 4000);  // runs
    bits.add_range(3 * 65536 + 60000, 4 * 65536 + 70);  // a run across two chunks
    bits.add_many(std::vector<uint32_t>{UINT32_MAX - 64, UINT32_MAX});
    bits.run_optimize();
    EXPECT_EQ(ids_by_words(bits), bits.to_vector());

    // A sparse chunk with several ids in one word and lone ids in others.
    Bitmap sparse{5 * 65536 + 1, 5 * 65536 + 2, 5 * 65536 + 62, 5 * 65536 + 640, 6 * 65536};
    EXPECT_EQ(ids_by_words(sparse), sparse.to_vector());
}

}  // namespace
}  // namespace vorlane

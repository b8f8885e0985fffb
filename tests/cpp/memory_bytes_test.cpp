// memory_bytes() of the structures: what each reports against what the
// allocator handed out, and how it follows ids coming and going.
#include <gtest/gtest.h>
#include <malloc.h>

#include <random>
#include <string>

#include "index/engine/object_graph.hpp"
#include "index/structures/links/link_table.hpp"
#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/structures/positional_bitmap/positional_bitmap.hpp"
#include "index/structures/shards/hashmap/hashmap.hpp"

namespace vorlane {
namespace {

struct IdHash {
    uint64_t operator()(uint64_t k) const noexcept { return k; }
};
using IdSetMap = ShardedHashMap<uint64_t, HybridSet, IdHash>;
size_t map_bytes(const IdSetMap& m) {
    return m.memory_bytes([](uint64_t, const HybridSet& ids) { return ids.memory_bytes(); });
}

std::string text_of(uint32_t i) { return "value number " + std::to_string(i) + " of the test"; }

// What the allocator hands out while `build` fills `s` (glibc's count, chunk
// headers included) against the growth `s` reports: within a tenth.
template <class T, class Build>
void expect_matches_allocator(const char* what, T& s, Build&& build, size_t (*bytes)(const T&)) {
#if defined(__GLIBC__)
    const size_t reported_before = bytes(s);
    const auto in_use = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
    const size_t before = in_use();
    build(s);
    const double grown = static_cast<double>(in_use() - before);
    EXPECT_NEAR(static_cast<double>(bytes(s) - reported_before), grown, 0.1 * grown + 512) << what;
#endif
}

TEST(MemoryBytes, EmptyStructuresReportLittle) {
    EXPECT_EQ(Bitmap().memory_bytes(), 0u);
    EXPECT_EQ(HybridSet().memory_bytes(), 0u);
    EXPECT_EQ(PagedIdMap().memory_bytes(), 0u);
    EXPECT_EQ(PositionalBitmap().memory_bytes(), 0u);
    EXPECT_EQ(NumericalBitmap().memory_bytes(), 0u);
    EXPECT_EQ(LinkTable().memory_bytes(), 0u);
    EXPECT_EQ(ObjectGraph().memory_bytes(), 0u);
    EXPECT_LT(map_bytes(IdSetMap()), 4096u);  // the shard array only
}

TEST(MemoryBytes, AgreeWithTheAllocator) {
    std::mt19937 rng(5);
    const auto bitmap_bytes = +[](const Bitmap& b) { return b.memory_bytes(); };
    Bitmap sparse, dense;
    expect_matches_allocator("sparse", sparse, [&](Bitmap& b) {
        for (int i = 0; i < 200000; ++i) b.add(rng() % 50000000);
    }, bitmap_bytes);
    // Bitset containers: allocated, not serialized, size.
    expect_matches_allocator("dense", dense, [](Bitmap& b) { b.add_range(0, 600000); }, bitmap_bytes);

    const auto string_bytes = +[](const PositionalBitmap& p) { return p.memory_bytes(); };
    PositionalBitmap many(16), few(16);  // fingerprints; the table of (long) strings
    expect_matches_allocator("many strings", many, [](PositionalBitmap& p) {
        for (uint32_t i = 1; i <= 20000; ++i) p.insert(i * 7, text_of(i));
    }, string_bytes);
    expect_matches_allocator("few strings", few, [](PositionalBitmap& p) {
        for (uint32_t i = 1; i <= 20000; ++i) p.insert(i, text_of(i % 300));
    }, string_bytes);
    EXPECT_TRUE(many.uses_fingerprints());
    EXPECT_FALSE(few.uses_fingerprints());

    NumericalBitmap numbers(16);
    expect_matches_allocator("numbers", numbers, [&](NumericalBitmap& n) {
        for (uint32_t i = 1; i <= 30000; ++i) n.insert(i * 3, int_order_key(rng() % 1000));
    }, +[](const NumericalBitmap& n) { return n.memory_bytes(); });

    IdSetMap exact;
    expect_matches_allocator("sharded map", exact, [&](IdSetMap& m) {
        for (uint32_t i = 0; i < 30000; ++i) {
            const uint64_t key = rng() % 20000;
            (*m.get_shard(key))[key].add(i);
        }
    }, +[](const IdSetMap& m) { return map_bytes(m); });

    // Links to a few nested objects: their lists and the sets of their holders.
    LinkTable links;
    expect_matches_allocator("links", links, [](LinkTable& t) {
        for (uint32_t h = 1; h < 60000; ++h) {
            t.insert(h, 5000000 + h % 40);
            if (h % 3 == 0) t.insert(h, 5000000 + (h * 7) % 40);
        }
    }, +[](const LinkTable& t) { return t.memory_bytes(); });
    ASSERT_NE(links.holder_sets(), nullptr);
    EXPECT_GT(links.holder_sets()->memory_bytes(), 40 * 60000u / 40 / 8);  // a bit per holder at least

    ObjectGraph graph;
    expect_matches_allocator("graph", graph, [](ObjectGraph& g) {
        for (uint32_t id = 1; id < 100000; id += 3) g.store(id), g.hold(id);
    }, +[](const ObjectGraph& g) { return g.memory_bytes(); });
}

TEST(MemoryBytes, BitmapsGrowWithIdsAndFallWhenTheyGo) {
    Bitmap b;
    size_t last = 0;
    for (uint32_t round = 0; round < 4; ++round) {
        for (uint32_t i = 0; i < 50000; ++i) b.add(round * 1000000 + i * 11);
        EXPECT_GT(b.memory_bytes(), last);
        last = b.memory_bytes();
    }
    for (uint32_t i = 0; i < 50000; ++i) b.remove(i * 11);  // the first round's containers go
    EXPECT_LT(b.memory_bytes(), last - last / 5);
    b.clear();
    EXPECT_LT(b.memory_bytes(), 256u);

    HybridSet set;
    set.add(1);
    EXPECT_EQ(set.memory_bytes(), 0u);  // inline
    for (uint32_t id = 2; id < 1000; ++id) set.add(id * 5);
    EXPECT_GT(set.memory_bytes(), 2 * 998u);
}

TEST(MemoryBytes, ValueStructuresFallBackAfterRemoval) {
    PositionalBitmap p(8);
    p.insert(1, "ab");
    const size_t small = p.memory_bytes();
    p.insert(2, std::string(40, 'x'));  // a long string's buffer counts in the small form
    EXPECT_GT(p.memory_bytes(), small + 40);
    for (uint32_t id = 3; id < 5000; ++id) p.insert(id, text_of(id));
    const size_t large = p.memory_bytes();
    for (uint32_t id = 3; id < 2000; ++id) p.remove_soon(id, text_of(id));
    EXPECT_GT(p.memory_bytes(), large);  // waiting removals hold their strings
    p.retain(Bitmap{1, 2});
    // The positions stay (one per byte of the longest string); their bitmaps empty.
    const size_t positions = p.len() * sizeof(PositionalBitmap::Position);
    EXPECT_LT(p.memory_bytes() - positions, (large - positions) / 4);

    NumericalBitmap n(8);
    for (uint32_t id = 1; id < 20000; ++id) n.insert(id * 13, int_order_key(id));
    const size_t full = n.memory_bytes();
    for (uint32_t id = 1; id < 20000; ++id) n.remove(id * 13, int_order_key(id));
    EXPECT_LT(n.memory_bytes(), full / 4);

    ValueIds<std::string, StringKeyHash> table;
    for (uint32_t i = 0; i < 3000; ++i) table.insert(text_of(i), i);
    const size_t keys = table.memory_bytes();
    EXPECT_GT(keys, 3000 * text_of(0).size());  // the keys' buffers
    for (uint32_t i = 0; i < 3000; ++i) table.remove(text_of(i), i);
    EXPECT_LT(table.memory_bytes(), keys / 4);  // the buckets stay
}

}  // namespace
}  // namespace vorlane

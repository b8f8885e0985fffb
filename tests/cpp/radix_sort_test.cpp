#include "index/structures/radix_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace vorlane {
namespace {

using Item = std::pair<uint32_t, uint32_t>;  // (id, position in the input)

std::vector<Item> sorted_by_radix(std::vector<Item> items) {
    radix_sort_by(items, [](const Item& item) { return item.first; });
    return items;
}

std::vector<Item> sorted_by_comparison(std::vector<Item> items) {
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.first < b.first; });
    return items;
}

std::vector<Item> numbered(const std::vector<uint32_t>& ids) {
    std::vector<Item> items;
    for (size_t i = 0; i < ids.size(); ++i) items.emplace_back(ids[i], static_cast<uint32_t>(i));
    return items;
}

TEST(RadixSortBy, MatchesAStableComparisonSortAcrossIdRangesAndSizes) {
    std::mt19937 rng(7);
    // Sizes on both sides of the switch to the radix sort; ids spread over the
    // whole range, packed under shared high bits, and with many repeats (whose
    // input order must survive).
    for (const size_t n : {0, 1, 255, 256, 257, 5000, 70000}) {
        for (const uint32_t span : {0xFFFFFFFFu, 3000u, 40u, 0u}) {
            std::vector<uint32_t> ids(n);
            const uint32_t base = span == 0xFFFFFFFFu ? 0 : 0x12340000u;
            for (uint32_t& id : ids) id = base + (span == 0 ? 0 : static_cast<uint32_t>(rng() % (uint64_t{span} + 1)));
            const auto items = numbered(ids);
            EXPECT_EQ(sorted_by_radix(items), sorted_by_comparison(items)) << "n=" << n << " span=" << span;
        }
    }
}

TEST(RadixSortBy, SortsWideKeysStablyAsAComparisonSortDoes) {
    // Keys as addresses are: 64 bits, sharing their high bits, spaced by a node's size.
    std::mt19937_64 rng(3);
    std::vector<std::pair<uint64_t, uint32_t>> items;
    for (uint32_t i = 0; i < 3000; ++i) items.emplace_back(0x7f3a00000000ull + (rng() % 500) * 48, i);
    items.emplace_back(~uint64_t{0}, 3000);
    items.emplace_back(0, 3001);
    auto want = items;
    std::stable_sort(want.begin(), want.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    radix_sort_by(items, [](const std::pair<uint64_t, uint32_t>& item) { return item.first; });
    EXPECT_EQ(items, want);
}

}  // namespace
}  // namespace vorlane

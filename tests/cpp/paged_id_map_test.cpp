#include "index/structures/paged_id_map.hpp"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace vorlane {
namespace {

TEST(PagedIdMap, AgreesWithAHashMapUnderRandomOperations) {
    PagedIdMap map;
    std::unordered_map<uint32_t, uint32_t> model;
    std::mt19937 rng(9);
    for (int step = 0; step < 200000; ++step) {
        // keys cluster in a few runs, with some far apart
        const uint32_t key = (rng() % 4 == 0) ? rng() : 1 + rng() % 20000;
        const int op = static_cast<int>(rng() % 3);
        if (op == 0) {
            const uint32_t value = 1 + rng() % 1000;
            EXPECT_EQ(map.insert(key, value), model.count(key) == 0);
            model[key] = value;
        } else if (op == 1) {
            map.erase(key);
            model.erase(key);
        } else {
            const auto it = model.find(key);
            EXPECT_EQ(map.find(key), it == model.end() ? PagedIdMap::kNone : it->second);
        }
        ASSERT_EQ(map.size(), model.size());
    }
    for (const auto& [key, value] : model) EXPECT_EQ(map.find(key), value);
    EXPECT_EQ(map.find(0xFFFFFFFFu), model.count(0xFFFFFFFFu) ? model[0xFFFFFFFFu] : PagedIdMap::kNone);

    // A block lookup answers key by key as find does, across block boundaries
    // and for keys of pages and blocks never allocated.
    std::vector<uint32_t> keys;
    for (int i = 0; i < 1000; ++i) keys.push_back(i % 3 == 0 ? rng() : 1 + rng() % 20000);
    keys.push_back(0xFFFFFFFFu);
    std::vector<uint32_t> got(keys.size(), 12345);
    map.find_many(keys, got.data());
    for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(got[i], map.find(keys[i])) << keys[i];
}

}  // namespace
}  // namespace vorlane

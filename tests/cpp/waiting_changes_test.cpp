#include "index/structures/waiting_changes/waiting_changes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vorlane {
namespace {

// The net change of each id by replaying its log on a map from id to value.
TEST(NetChanges, AgreeWithReplayingTheLogInLargeBatches) {
    std::mt19937 rng(11);
    for (const size_t n : {10, 300, 20000}) {
        // Ids start with a value each; the log removes, writes and brings back
        // values as a structure would see them (a removal only of a present id).
        std::map<uint32_t, std::optional<std::string>> present;
        std::vector<WaitingChange<std::string>> log;
        const uint32_t ids = static_cast<uint32_t>(n / 3 + 1);
        std::map<uint32_t, std::optional<std::string>> before;
        for (uint32_t id = 0; id < ids; ++id) {
            if (rng() % 4 != 0) present[id] = "v" + std::to_string(id);
        }
        before = present;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t id = static_cast<uint32_t>(rng() % ids) * 977u;  // spread over many digits
            auto& value = present[id / 977u];
            if (value) {
                log.push_back({id, *value, false});
                value.reset();
            } else {
                value = "w" + std::to_string(i);
                log.push_back({id, *value, true});
            }
        }
        const auto changes = net_changes(log);
        std::map<uint32_t, std::pair<std::optional<std::string>, std::optional<std::string>>> want;
        for (const auto& [key, after] : present) {
            const auto it = before.find(key);
            const std::optional<std::string> was = it == before.end() ? std::nullopt : it->second;
            if (was == after && was == std::nullopt) continue;
            bool touched = false;
            for (const auto& c : log) touched = touched || c.id == key * 977u;
            if (!touched) continue;
            want[key * 977u] = {was, after};
        }
        std::map<uint32_t, std::pair<std::optional<std::string>, std::optional<std::string>>> got;
        uint32_t last = 0;
        bool first = true;
        for (const auto& c : changes) {
            EXPECT_TRUE(first || c.id > last) << "ids ascending, each once";
            first = false;
            last = c.id;
            got[c.id] = {c.leaving ? std::optional<std::string>(*c.leaving) : std::nullopt,
                         c.staying ? std::optional<std::string>(*c.staying) : std::nullopt};
        }
        // An id that left and came back with the same value still reports both
        // sides; one that arrived and left again reports nothing.
        for (const auto& [id, change] : want) {
            if (!change.first && !change.second) continue;
            ASSERT_TRUE(got.count(id)) << id;
            EXPECT_EQ(got[id], change) << id;
        }
        for (const auto& [id, change] : got) {
            ASSERT_TRUE(want.count(id)) << id;
        }
    }
}

}  // namespace
}  // namespace vorlane

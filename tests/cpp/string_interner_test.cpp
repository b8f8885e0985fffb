#include "index/structures/string_interner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "index/structures/errors.hpp"
#include "index/structures/fxhash.hpp"

namespace vorlane {
namespace {

using namespace std::string_literals;

TEST(StrInterner, IdsAreDenseInFirstInternOrderAndStable) {
    StrInterner interner;
    EXPECT_EQ(interner.snapshot().size(), 0u);
    EXPECT_EQ(interner.snapshot().get("age"), std::nullopt);

    EXPECT_EQ(interner.intern("age"), 0u);
    EXPECT_EQ(interner.intern("name"), 1u);
    EXPECT_EQ(interner.intern("age"), 0u);
    // The empty name and names that differ only past an embedded NUL or in
    // length are names of their own.
    EXPECT_EQ(interner.intern(""), 2u);
    EXPECT_EQ(interner.intern("a\0b"s), 3u);
    EXPECT_EQ(interner.intern("a"), 4u);
    EXPECT_EQ(interner.intern("ag"), 5u);
    EXPECT_EQ(interner.intern(""), 2u);

    const ImmutableInterner& snap = interner.snapshot();
    EXPECT_EQ(snap.size(), 6u);
    const std::vector<std::string> expected = {"age", "name", "", "a\0b"s, "a", "ag"};
    for (uint32_t id = 0; id < expected.size(); ++id) {
        EXPECT_EQ(snap.name(id), expected[id]);
        EXPECT_EQ(snap.get(expected[id]), id);
    }
    EXPECT_EQ(snap.get("nam"), std::nullopt);
    EXPECT_THROW((void)snap.name(6), InternalError);
}

TEST(StrInterner, NameHashIsSeedlessFxHashOfTheBytes) {
    FxHasher expected;
    expected.write_bytes("colour");
    EXPECT_EQ(ImmutableInterner::hash_str("colour"), expected.finish());
    EXPECT_NE(ImmutableInterner::hash_str("colour"), ImmutableInterner::hash_str("color"));
    FxHasher empty;
    empty.write_bytes("");
    EXPECT_EQ(ImmutableInterner::hash_str(""), empty.finish());
}

TEST(StrInterner, SnapshotsNeverChangeAndSurviveGrowth) {
    StrInterner interner;
    const ImmutableInterner& before = interner.snapshot();
    const uint32_t id = interner.intern("weight");
    const ImmutableInterner& after = interner.snapshot();
    EXPECT_EQ(before.get("weight"), std::nullopt);
    EXPECT_EQ(before.size(), 0u);
    EXPECT_THROW((void)before.name(id), InternalError);
    EXPECT_EQ(after.get("weight"), id);
    EXPECT_EQ(after.name(id), "weight");

    // Grow well past the first chunk of names and the first tables, keeping
    // snapshots from along the way.
    constexpr uint32_t kNames = 5000;
    std::map<uint32_t, const ImmutableInterner*> kept;
    for (uint32_t i = 1; i < kNames; ++i) {
        ASSERT_EQ(interner.intern("n" + std::to_string(i)), i);
        if (i == 1 || i == 1023 || i == 1024 || i == 3000) kept[i + 1] = &interner.snapshot();
    }
    const ImmutableInterner& last = interner.snapshot();
    EXPECT_EQ(last.size(), kNames);
    for (uint32_t i = 1; i < kNames; ++i) {
        const std::string name = "n" + std::to_string(i);
        ASSERT_EQ(last.get(name), i);
        ASSERT_EQ(last.name(i), name);
    }
    // Each old snapshot still answers exactly for the names it had.
    for (const auto& [size, snap] : kept) {
        EXPECT_EQ(snap->size(), size);
        EXPECT_EQ(snap->get("weight"), 0u);
        for (uint32_t i : {1u, size - 1, size, kNames - 1}) {
            const std::string name = "n" + std::to_string(i);
            if (i < size) {
                EXPECT_EQ(snap->get(name), i) << "snapshot of " << size;
                EXPECT_EQ(snap->name(i), name);
            } else {
                EXPECT_EQ(snap->get(name), std::nullopt) << "snapshot of " << size;
                EXPECT_THROW((void)snap->name(i), InternalError);
            }
        }
    }
}

TEST(StrInterner, ConcurrentInternsAgreeAndStoreEachNameOnce) {
    // The process-wide interner: its ids depend on what ran before, so measure
    // against its size at the start.
    StrInterner& global = StrInterner::global();
    EXPECT_EQ(&global, &StrInterner::global());
    const size_t start = global.snapshot().size();

    constexpr int kWriters = 4;
    constexpr int kNames = 300;
    std::vector<std::string> names;
    for (int i = 0; i < kNames; ++i) names.push_back("concurrent_" + std::to_string(i));

    std::vector<std::vector<uint32_t>> got(kWriters, std::vector<uint32_t>(kNames));
    std::atomic<bool> done{false};
    std::atomic<int> wrong_reads{0};
    std::barrier sync(kWriters + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t) {
        threads.emplace_back([&, t] {
            sync.arrive_and_wait();
            // Half the writers walk the names backwards so they race on both ends.
            for (int k = 0; k < kNames; ++k) {
                const int i = (t % 2 == 0) ? k : kNames - 1 - k;
                got[t][i] = global.intern(names[i]);
            }
        });
    }
    // A reader checks every lock-free answer it sees while the writers work:
    // either not yet there, or the id whose stored name is the one asked for.
    threads.emplace_back([&] {
        sync.arrive_and_wait();
        while (!done.load()) {
            const ImmutableInterner& snap = global.snapshot();
            for (const std::string& name : names) {
                if (auto id = snap.get(name); id && snap.name(*id) != name) ++wrong_reads;
            }
        }
    });
    for (int t = 0; t < kWriters; ++t) threads[t].join();
    done = true;
    threads.back().join();

    EXPECT_EQ(wrong_reads.load(), 0);
    std::set<uint32_t> ids;
    for (int i = 0; i < kNames; ++i) {
        for (int t = 1; t < kWriters; ++t) EXPECT_EQ(got[t][i], got[0][i]) << names[i];
        ids.insert(got[0][i]);
    }
    // One id per name, all new, and nothing else added: each name stored once.
    EXPECT_EQ(ids.size(), static_cast<size_t>(kNames));
    const ImmutableInterner& snap = global.snapshot();
    EXPECT_EQ(snap.size(), start + kNames);
    EXPECT_GE(*ids.begin(), start);
    EXPECT_LT(*ids.rbegin(), start + kNames);
    for (int i = 0; i < kNames; ++i) EXPECT_EQ(snap.name(got[0][i]), names[i]);

    // A name interned once more later keeps its id; a new one gets the next id.
    EXPECT_EQ(global.intern(names[7]), got[0][7]);
    EXPECT_EQ(global.intern("concurrent_after"), start + kNames);
}

}  // namespace
}  // namespace vorlane

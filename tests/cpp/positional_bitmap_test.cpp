#include "index/structures/positional_bitmap/positional_bitmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace vorlane {
namespace {

// Tags each position by putting the id `tag` into byte slot `tag % 256`, so a
// position can be followed through expansions.
void tag_positions(PositionalBitmap& p, uint32_t first_tag) {
    for (size_t pos = 0; pos < p.len(); ++pos) {
        const uint32_t tag = first_tag + static_cast<uint32_t>(pos);
        p.slot(pos, tag % 256).bitmap().add(tag);
    }
}

std::vector<uint32_t> tags_at(const PositionalBitmap& p, size_t pos) {
    std::vector<uint32_t> out;
    for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) {
        for (uint32_t id : p.slot(pos, slot).bitmap().to_vector()) out.push_back(id);
    }
    return out;
}

TEST(PositionalBitmap, ExpandRoundsUpToEvenLengths) {
    PositionalBitmap a;
    a.expand_map(1);
    EXPECT_EQ(a.len(), 2u);
    PositionalBitmap b;
    b.expand_map(3);
    EXPECT_EQ(b.len(), 4u);
    b.expand_map(2);  // not longer: nothing to do
    EXPECT_EQ(b.len(), 4u);
    EXPECT_THROW(b.level(4), InternalError);
    EXPECT_THROW(b.slot(0, 257), InternalError);
}

TEST(PositionalBitmap, ExpandKeepsOldPositionsAroundTheMiddle) {
    PositionalBitmap p;
    p.expand_map(2);
    tag_positions(p, 100);  // position 0 holds 100, position 1 holds 101
    p.slot(1, 'z').push(7);  // a pending id travels with its position
    p.expand_map(6);
    ASSERT_EQ(p.len(), 6u);
    EXPECT_EQ(tags_at(p, 2), (std::vector<uint32_t>{100}));
    EXPECT_EQ(tags_at(p, 3), (std::vector<uint32_t>{101}));
    for (size_t fresh : {0u, 1u, 4u, 5u}) {
        EXPECT_TRUE(tags_at(p, fresh).empty()) << fresh;
        for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) {
            EXPECT_EQ(p.slot(fresh, slot).pending_count(), 0u);
        }
    }
    EXPECT_EQ(p.slot(3, 'z').pending_count(), 1u);

    // Odd growth: 6 -> 12 adds 3 on each side; every old position shifts by 3.
    tag_positions(p, 1000);
    p.expand_map(11);
    ASSERT_EQ(p.len(), 12u);
    for (size_t old = 0; old < 6; ++old) {
        std::vector<uint32_t> tags = tags_at(p, old + 3);
        EXPECT_NE(std::find(tags.begin(), tags.end(), 1000 + old), tags.end()) << old;
    }
    for (size_t fresh : {0u, 1u, 2u, 9u, 10u, 11u}) EXPECT_TRUE(tags_at(p, fresh).empty());

    // New positions are independent of one another.
    p.slot(0, 5).bitmap().add(1);
    EXPECT_FALSE(p.slot(1, 5).bitmap().contains(1));
    EXPECT_FALSE(p.slot(11, 5).bitmap().contains(1));
}

// Strings laid out by start_of before and after an expansion must coincide,
// or a stored string would no longer be found by the same lookup.
TEST(PositionalBitmap, StartPositionsStayConsistentAcrossExpansions) {
    PositionalBitmap p;
    p.expand_map(2);
    EXPECT_EQ(p.start_of(2), 0u);  // "ab" at 0..1
    p.expand_map(4);
    EXPECT_EQ(p.start_of(4), 0u);  // "abcd" at 0..3
    EXPECT_EQ(p.start_of(2), 1u);  // "ab" moved to 1..2 and is still found there
    for (size_t grow : {6u, 7u, 10u, 15u, 40u}) {
        const size_t before_len = p.len();
        std::vector<size_t> before;
        for (size_t n = 1; n <= before_len; ++n) before.push_back(p.start_of(n));
        p.expand_map(grow);
        const size_t shift = (p.len() - before_len) / 2;
        for (size_t n = 1; n <= before_len; ++n) {
            EXPECT_EQ(p.start_of(n), before[n - 1] + shift) << "n " << n << " grow " << grow;
        }
        for (size_t n = 1; n <= p.len(); ++n) {
            const size_t s = p.start_of(n);
            EXPECT_LE(s + n, p.len());
            EXPECT_LT(s, p.middle());  // starts left of the middle
            EXPECT_GE(s + n, p.middle());  // last byte s + n - 1 is at or right of middle - 1
        }
    }
    EXPECT_THROW(p.start_of(p.len() + 1), InternalError);
    EXPECT_THROW(p.start_of(0), InternalError);
}

TEST(PositionalBitmap, FlushAndRetainCoverEveryPosition) {
    PositionalBitmap p;
    p.expand_map(4);
    for (uint32_t id = 1; id <= 40; ++id) p.slot(id % 4, id % 3).push(id);
    p.flush();
    uint64_t total = 0;
    for (size_t pos = 0; pos < 4; ++pos) {
        for (size_t slot = 0; slot < 3; ++slot) total += p.slot(pos, slot).bitmap().cardinality();
    }
    EXPECT_EQ(total, 40u);
    p.slot(2, PositionalBitmap::kEdgeSlot).push(41);
    p.retain(Bitmap{1, 2, 41});
    total = 0;
    for (size_t pos = 0; pos < 4; ++pos) {
        for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) {
            total += p.slot(pos, slot).bitmap().cardinality();
        }
    }
    EXPECT_EQ(total, 3u);
    EXPECT_TRUE(p.edge(2).bitmap().contains(41));
}

// --- searches, both forms --------------------------------------------------

// Every needle over {a, b} up to 4 bytes, the empty one included.
std::vector<std::string> all_needles() {
    std::vector<std::string> out{""};
    for (size_t n = 1; n <= 4; ++n) {
        for (uint32_t bits = 0; bits < (1U << n); ++bits) {
            std::string s;
            for (size_t j = 0; j < n; ++j) s.push_back((bits >> j) & 1U ? 'b' : 'a');
            out.push_back(s);
        }
    }
    return out;
}

// Checks every search against the model (the empty string is stored nowhere).
void expect_searches(const PositionalBitmap& p, const std::map<uint32_t, std::string>& values, const char* where) {
    Bitmap some;
    uint32_t k = 0;
    for (const auto& [id, text] : values) {
        if (k++ % 2 == 0) some.add(id);
    }
    const auto want = [&](auto pred, const Bitmap* candidates = nullptr) {
        Bitmap out;
        for (const auto& [id, text] : values) {
            if (!text.empty() && pred(std::string_view(text)) && (candidates == nullptr || candidates->contains(id))) {
                out.add(id);
            }
        }
        return out;
    };
    ASSERT_TRUE(p.every_string() == want([](std::string_view) { return true; })) << where;
    for (const std::string& needle : all_needles()) {
        const std::string_view n = needle;
        ASSERT_TRUE(p.equal(n) == want([&](std::string_view t) { return t == n; })) << where << " '" << needle << "'";
        ASSERT_TRUE(p.equal(n, &some) == want([&](std::string_view t) { return t == n; }, &some)) << where;
        ASSERT_TRUE(p.starts_with(n) == want([&](std::string_view t) { return t.starts_with(n); }))
            << where << " starts '" << needle << "'";
        ASSERT_TRUE(p.ends_with(n) == want([&](std::string_view t) { return t.ends_with(n); }))
            << where << " ends '" << needle << "'";
        ASSERT_TRUE(p.contains(n) == want([&](std::string_view t) { return t.find(n) != std::string_view::npos; }))
            << where << " contains '" << needle << "'";
    }
}

uint32_t spread_id(uint32_t i) { return i * 65537 + 5; }

std::string random_text(std::mt19937& rng) {
    const size_t n = rng() % 7;  // 0..6 bytes: empty, one- and two-byte strings are frequent
    std::string s;
    for (size_t j = 0; j < n; ++j) s.push_back(rng() % 2 ? 'b' : 'a');
    return s;
}

// One random sequence on three structures: pairs that move to the positions at
// 5 ids, pairs that never do here, and positions from the start.
TEST(PositionalBitmap, SmallFormAndSwitchMatchBruteForce) {
    std::mt19937 rng(17);
    PositionalBitmap switching(5);
    PositionalBitmap small(1000);
    PositionalBitmap large(0);
    std::map<uint32_t, std::string> values;
    bool saw_small_with_ids = false;
    for (int step = 0; step < 150; ++step) {
        const uint32_t op = rng() % 10;
        if (op < 6 || values.empty()) {
            const uint32_t id = spread_id(rng() % 30);
            if (values.count(id) != 0) continue;
            const std::string text = random_text(rng);
            for (PositionalBitmap* p : {&switching, &small, &large}) {
                if (op % 2 == 0) {
                    p->insert(id, text);
                } else {  // bulk, sometimes without reserving first
                    if (op == 1) p->reserve(text.size());
                    p->push(id, text);
                    p->flush();
                }
            }
            values[id] = text;
        } else if (op < 9) {
            auto it = std::next(values.begin(), rng() % values.size());
            for (PositionalBitmap* p : {&switching, &small, &large}) p->remove(it->first, it->second);
            values.erase(it);
        } else {
            Bitmap keep;
            for (auto it = values.begin(); it != values.end();) {
                if (rng() % 3 != 0) {
                    keep.add(it->first);
                    ++it;
                } else {
                    it = values.erase(it);
                }
            }
            for (PositionalBitmap* p : {&switching, &small, &large}) p->retain(keep);
        }
        EXPECT_TRUE(small.is_small());
        if (switching.is_small() && values.size() >= 3) saw_small_with_ids = true;
        expect_searches(switching, values, "switching");
        expect_searches(small, values, "small");
        expect_searches(large, values, "large");
    }
    EXPECT_TRUE(saw_small_with_ids);
    EXPECT_FALSE(switching.is_small());
    EXPECT_EQ(small.len(), 0u);  // never allocated a position
}

// Batched removals of strings of every length, few and many, some moved to a
// new string while they wait, against the strings that remain.
TEST(PositionalBitmap, BatchedRemovalsSettleToExactlyTheRemainingStrings) {
    std::mt19937 rng(23);
    PositionalBitmap p(0);
    std::map<uint32_t, std::string> values;
    for (uint32_t i = 0; i < 3000; ++i) {
        const uint32_t id = i * 7 + 1;
        values[id] = random_text(rng);
        p.insert(id, values[id]);
    }
    std::vector<uint32_t> ids;
    for (const auto& [id, text] : values) ids.push_back(id);
    auto remove_soon = [&](uint32_t id) {
        p.remove_soon(id, values.at(id));
        values.erase(id);
    };
    for (size_t k = 0; k < 4; ++k) remove_soon(ids[k * 13]);
    EXPECT_TRUE(p.has_waiting_removals());
    p.settle_removals();  // id by id: a batch this small
    expect_searches(p, values, "few waiting");
    for (size_t k = 100; k < 2500; k += 3) remove_soon(ids[k]);
    EXPECT_TRUE(p.has_waiting_removals());
    remove_soon(ids[104]);
    values[ids[104]] = "moved while waiting";
    p.insert(ids[104], values[ids[104]]);  // settles the batch first
    EXPECT_FALSE(p.has_waiting_removals());
    expect_searches(p, values, "many waiting");
    // No removed id is left in any slot.
    Bitmap left;
    for (size_t pos = 0; pos < p.len(); ++pos) {
        for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) left.or_inplace(p.slot(pos, slot).bitmap());
    }
    Bitmap want;
    for (const auto& [id, text] : values) {
        if (!text.empty()) want.add(id);  // the empty string is in no slot
    }
    EXPECT_TRUE(left == want);
}

TEST(PositionalBitmap, BulkPushesCrossingTheLimit) {
    PositionalBitmap p(4);
    std::map<uint32_t, std::string> values;
    const char* texts[] = {"a", "ab", "", "ba", "abba", "b", "aab", "bb"};
    p.reserve(3);  // shorter than "abba": the positions grow past the reservation
    for (uint32_t i = 0; i < 8; ++i) {
        p.push(spread_id(i), texts[i]);
        values[spread_id(i)] = texts[i];
        // The empty string takes no pair: the fifth stored string is "b".
        EXPECT_EQ(p.is_small(), i < 5) << i;
    }
    p.flush();
    expect_searches(p, values, "pushed");
}

// Strings pushed many at a time land in exactly the slots single pushes fill:
// ascending ids (the bulk case), descending ones, empty strings, a structure
// that leaves its pairs part-way, and a long string among short ones.
TEST(PositionalBitmap, PushManyMatchesSinglePushes) {
    std::mt19937 rng(23);
    for (size_t limit : {size_t{0}, size_t{40}}) {
        PositionalBitmap many(limit);
        PositionalBitmap single(limit);
        std::map<uint32_t, std::string> values;
        std::vector<std::string> texts;  // kept alive for the views
        texts.reserve(12000);
        for (int round = 0; round < 3; ++round) {
            std::vector<std::pair<uint32_t, std::string_view>> entries;
            for (uint32_t i = 0; i < 4000; ++i) {
                const uint32_t id = round == 1 ? 2000000 - i * 3 : round * 100000 + i * (round + 1);
                texts.push_back(round == 2 && i == 77 ? std::string(60, 'b') : random_text(rng));
                entries.emplace_back(id, texts.back());
                values[id] = texts.back();
            }
            many.push_many(entries);
            for (const auto& [id, text] : entries) single.push(id, text);
            many.flush();
            single.flush();
            ASSERT_EQ(many.len(), single.len());
            for (size_t pos = 0; pos < many.len(); ++pos) {
                for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) {
                    ASSERT_TRUE(many.slot(pos, slot).bitmap() == single.slot(pos, slot).bitmap())
                        << limit << " " << round << " " << pos << " " << slot;
                }
            }
        }
        expect_searches(many, values, "push_many");
    }
}

// Strings that repeat (a few cities, tags) are entered string by string; the
// slots, the table of strings and every search must match single pushes, in
// ascending and shuffled id order, and past the table's drop, which then
// happens inside a batch (the batch's strings go to the fingerprints).
TEST(PositionalBitmap, RepeatedStringsEnterLikeSinglePushes) {
    std::mt19937 rng(41);
    const std::vector<std::string> pool = {"city01", "city02", "town", "t", "", "a longer place name", "x"};
    for (const bool shuffled : {false, true}) {
        PositionalBitmap many(0);
        PositionalBitmap single(0);
        std::map<uint32_t, std::string> values;
        std::vector<std::string> texts;
        texts.reserve(40000);
        const auto enter = [&](std::vector<std::pair<uint32_t, std::string_view>> entries) {
            if (shuffled) std::shuffle(entries.begin(), entries.end(), rng);
            many.push_many(entries);
            for (const auto& [id, text] : entries) single.push(id, text);
            many.flush();
            single.flush();
        };
        uint32_t next = 1;
        std::vector<std::pair<uint32_t, std::string_view>> entries;
        for (int i = 0; i < 3000; ++i) {
            texts.push_back(pool[rng() % pool.size()]);
            entries.emplace_back(next++, texts.back());
            values[entries.back().first] = texts.back();
        }
        enter(entries);
        ASSERT_FALSE(many.uses_fingerprints());
        // Distinct strings, one id each, up to the table's bound of values.
        entries.clear();
        while (many.value_table().value_count() + entries.size() < 4096) {
            texts.push_back("only " + std::to_string(next));
            entries.emplace_back(next++, texts.back());
            values[entries.back().first] = texts.back();
        }
        enter(entries);
        ASSERT_FALSE(many.uses_fingerprints());
        // A batch of new strings, each repeated: grouped, and the table drops.
        entries.clear();
        for (int i = 0; i < 400; ++i) {
            texts.push_back("new " + std::to_string(i % 20));
            entries.emplace_back(next++, texts.back());
            values[entries.back().first] = texts.back();
        }
        enter(entries);
        EXPECT_TRUE(many.uses_fingerprints());
        EXPECT_TRUE(single.uses_fingerprints());
        ASSERT_EQ(many.len(), single.len());
        for (size_t pos = 0; pos < many.len(); ++pos) {
            for (size_t slot = 0; slot <= PositionalBitmap::kEdgeSlot; ++slot) {
                ASSERT_TRUE(many.slot(pos, slot).bitmap() == single.slot(pos, slot).bitmap()) << shuffled << " " << pos << " " << slot;
            }
        }
        expect_searches(many, values, shuffled ? "grouped, shuffled" : "grouped");
        for (const std::string probe : {"city01", "new 7", "only 3001", "t"}) {
            Bitmap expected;
            for (const auto& [id, text] : values) {
                if (text == probe) expected.add(id);
            }
            EXPECT_TRUE(many.equal(probe) == expected) << probe;
        }
    }
}

// Insertions wait with removals and writes (strings growing longer as they
// go, so positions are added while the batch settles); settled now and then,
// every search matches the model.
TEST(PositionalBitmap, InsertionsWaitLikeWrites) {
    std::mt19937 rng(78);
    for (const size_t small_limit : {size_t{0}, size_t{6}}) {
        PositionalBitmap p(small_limit);
        std::map<uint32_t, std::string> values;
        uint32_t next = 1;
        for (int step = 0; step < 3000; ++step) {
            const uint32_t op = rng() % 12;
            std::string text = random_text(rng);
            if (step > 1500 && rng() % 4 == 0) text += std::string(step / 300, 'a');
            if (op < 6 || values.empty()) {
                const uint32_t id = next++;
                if (op == 1) {
                    p.insert(id, text);
                } else {
                    p.insert_soon(id, text);
                }
                values[id] = text;
            } else {
                auto it = values.begin();
                std::advance(it, static_cast<long>(rng() % values.size()));
                if (op < 9) {
                    p.remove_soon(it->first, it->second);
                    values.erase(it);
                } else {
                    p.replace_soon(it->first, it->second, text);
                    it->second = text;
                }
            }
            if (step % 499 == 498 || step == 2999) {
                p.settle_removals();
                expect_searches(p, values, "waiting insertions");
            }
        }
    }
}

// merge_from in every pairing of forms, with positions of different lengths
// (the smaller side is re-centred into the larger one).
TEST(PositionalBitmap, MergeBetweenForms) {
    const size_t limits[][2] = {{64, 64}, {64, 0}, {0, 64}, {0, 0}, {3, 64}};
    for (const auto& [mine_limit, theirs_limit] : limits) {
        for (bool theirs_longer : {false, true}) {
            PositionalBitmap mine(mine_limit);
            PositionalBitmap theirs(theirs_limit);
            std::map<uint32_t, std::string> want;
            const char* my_texts[] = {"ab", "b", "bab"};
            const char* their_texts[] = {"a", "abab", "bbabb", "ba", "aaa", "b"};
            for (uint32_t i = 0; i < 3; ++i) {
                mine.insert(spread_id(i), my_texts[i]);
                want[spread_id(i)] = my_texts[i];
            }
            Bitmap objects;
            for (uint32_t i = 0; i < 6; ++i) {
                const std::string text = theirs_longer ? their_texts[i] : std::string(their_texts[i]).substr(0, 2);
                theirs.insert(spread_id(10 + i), text);
                if (i != 2) {
                    objects.add(spread_id(10 + i));
                    want[spread_id(10 + i)] = text;
                }
            }
            mine.merge_from(theirs, objects);
            expect_searches(mine, want, "merge");
            EXPECT_EQ(mine.is_small(), mine_limit == 64 && theirs_limit == 64);
        }
    }
}

// --- equality once the table of strings is dropped -------------------------

// Fingerprint functions that collide on purpose: every string alike (one
// shared bitmap), a few hundred fingerprints (short runs of colliding
// strings), and fingerprints crowded at the top of the range (every pair homed
// at the end of the array, past its tail).
uint32_t same_fingerprint(std::string_view) { return 42; }
uint32_t few_fingerprints(std::string_view text) { return static_cast<uint32_t>(digest_bytes(text) % 700); }
uint32_t crowded_fingerprints(std::string_view text) {
    return 0xFFFF0000U | static_cast<uint32_t>(digest_bytes(text) & 0xFFFFU);
}

// Unique names sharing their leading bytes, plus a few values held by several
// ids and one held by many.
std::string name_for(uint32_t k) {
    if (k % 97 == 0) return "popular";
    if (k % 31 == 0) return "user_" + std::to_string(k % 50);
    return (k % 2 ? "user_" : "n") + std::to_string(k);
}

// Checks equal and equal_any against the model for stored names, names never
// stored that share their bytes, and prefixes; with and without candidates.
// The fingerprints must hold exactly the stored ids: an id left behind would
// go unnoticed by the checked answers and only cost memory.
void expect_equality(const PositionalBitmap& p, const std::map<uint32_t, std::string>& values, std::mt19937& rng,
                     const char* where) {
    std::map<std::string, Bitmap> by_text;
    Bitmap candidates;
    for (const auto& [id, text] : values) {
        by_text[text].add(id);
        if (id % 3 != 0) candidates.add(id);
    }
    for (uint32_t k = 0; k < 50; ++k) candidates.add(k * 1000003 + 2);  // ids stored nowhere
    std::vector<std::string> needles{"popular", "user_", "n", "", "n1", "user_7", "popularity", "nope"};
    if (!values.empty()) {
        for (int k = 0; k < 300; ++k) needles.push_back(std::next(values.begin(), rng() % values.size())->second);
    }
    for (uint32_t k = 0; k < 100; ++k) needles.push_back(name_for(rng() % 20000));
    const auto want = [&](const std::string& needle, const Bitmap* among) {
        const auto it = by_text.find(needle);
        if (needle.empty() || it == by_text.end()) return Bitmap();
        return among != nullptr ? it->second.and_(*among) : it->second.clone();
    };
    for (const std::string& needle : needles) {
        ASSERT_TRUE(p.equal(needle) == want(needle, nullptr)) << where << " '" << needle << "'";
        ASSERT_TRUE(p.equal(needle, &candidates) == want(needle, &candidates)) << where << " '" << needle << "'";
    }
    for (size_t k = 0; k + 3 <= needles.size(); k += 3) {
        const std::string_view group[] = {needles[k], needles[k + 1], needles[k + 2]};
        const Bitmap* const amongs[] = {nullptr, &candidates};
        for (const Bitmap* among : amongs) {
            Bitmap expected;
            for (size_t j = 0; j < 3; ++j) expected.or_inplace(want(needles[k + j], among));
            ASSERT_TRUE(p.equal_any(group, among) == expected) << where << " group at " << k;
        }
    }
    if (p.uses_fingerprints()) {
        size_t stored = 0;
        for (const auto& [id, text] : values) stored += text.empty() ? 0 : 1;
        EXPECT_EQ(p.fingerprints().size(), stored) << where;
    }
}

TEST(PositionalBitmap, FingerprintEqualityMatchesModel) {
    for (FingerprintTable::Hash hash :
         {FingerprintTable::Hash{nullptr}, &same_fingerprint, &few_fingerprints, &crowded_fingerprints}) {
        SCOPED_TRACE(hash == nullptr ? "default" : hash == &same_fingerprint ? "same" : hash == &few_fingerprints ? "few" : "crowded");
        std::mt19937 rng(31);
        PositionalBitmap p(64, hash);
        std::map<uint32_t, std::string> values;
        // Scattered ids: the byte bitmaps are not runs.
        std::vector<uint32_t> ids(16000);
        for (uint32_t k = 0; k < ids.size(); ++k) ids[k] = k * 37 + static_cast<uint32_t>(rng() % 37);
        std::shuffle(ids.begin(), ids.end(), rng);
        std::vector<std::string> texts;
        texts.reserve(ids.size());
        size_t next = 0;
        // Inserted one by one, pushed, and pushed many at once; the table of
        // strings drops somewhere in the middle.
        for (; next < 3000; ++next) {
            texts.push_back(name_for(static_cast<uint32_t>(next)));
            p.insert(ids[next], texts.back());
            values[ids[next]] = texts.back();
        }
        EXPECT_FALSE(p.uses_fingerprints());
        for (; next < 4000; ++next) {
            texts.push_back(name_for(static_cast<uint32_t>(next)));
            p.push(ids[next], texts.back());
            values[ids[next]] = texts.back();
        }
        std::vector<std::pair<uint32_t, std::string_view>> entries;
        for (; next < 9000; ++next) {
            texts.push_back(name_for(static_cast<uint32_t>(next)));
            entries.emplace_back(ids[next], texts.back());
            values[ids[next]] = texts.back();
        }
        p.push_many(entries);
        p.flush();
        ASSERT_TRUE(p.uses_fingerprints());
        if (hash == nullptr) {
            // 8 bytes a pair at a load of 2/3 to 0.8, plus the tail and the popular value's bitmap.
            EXPECT_LE(p.fingerprints().bytes(), 12 * p.fingerprints().size() + 4096);
        }
        expect_equality(p, values, rng, "inserted");

        for (int k = 0; k < 800; ++k) {
            auto it = std::next(values.begin(), rng() % values.size());
            p.remove(it->first, it->second);
            values.erase(it);
        }
        // An id that was never entered changes nothing.
        p.remove(0xFFFFFF0U, "user_77");
        expect_equality(p, values, rng, "removed");

        for (int k = 0; k < 5; ++k) {  // a batch small enough to go id by id
            auto it = std::next(values.begin(), rng() % values.size());
            p.remove_soon(it->first, it->second);
            values.erase(it);
        }
        p.settle_removals();
        expect_equality(p, values, rng, "few settled");
        uint32_t moved = 0;
        for (int k = 0; k < 2500; ++k) {
            auto it = std::next(values.begin(), rng() % values.size());
            p.remove_soon(it->first, it->second);
            moved = it->first;
            values.erase(it);
        }
        values[moved] = "moved while waiting";
        p.insert(moved, values[moved]);  // settles the batch first
        EXPECT_FALSE(p.has_waiting_removals());
        expect_equality(p, values, rng, "batch settled");

        Bitmap keep;
        for (auto it = values.begin(); it != values.end();) {
            if (rng() % 3 != 0) {
                keep.add(it->first);
                ++it;
            } else {
                it = values.erase(it);
            }
        }
        p.retain(keep);
        expect_equality(p, values, rng, "retained");

        // Ids back in with new strings, then merges: from a structure still on
        // its table of strings, and from one on fingerprints into one still on
        // its table (which then starts its fingerprints).
        PositionalBitmap few(64, hash);
        PositionalBitmap many(0, hash);
        std::map<uint32_t, std::string> few_values;
        std::map<uint32_t, std::string> many_values;
        Bitmap objects;
        for (; next < ids.size(); ++next) {
            const std::string text = name_for(static_cast<uint32_t>(next));
            if (next < 9300) {
                few.insert(ids[next], text);
                few_values[ids[next]] = text;
            } else {
                many.insert(ids[next], text);
                many_values[ids[next]] = text;
            }
            if (next % 4 != 0) objects.add(ids[next]);
        }
        EXPECT_FALSE(few.uses_fingerprints());
        ASSERT_TRUE(many.uses_fingerprints());
        p.merge_from(few, objects);
        p.merge_from(many, objects);
        for (const auto* from : {&few_values, &many_values}) {
            for (const auto& [id, text] : *from) {
                if (objects.contains(id)) values[id] = text;
            }
        }
        expect_equality(p, values, rng, "merged");

        PositionalBitmap fresh(64, hash);
        std::map<uint32_t, std::string> fresh_values;
        for (uint32_t k = 0; k < 100; ++k) {
            fresh.insert(ids[k], "fresh" + std::to_string(k % 7));
            fresh_values[ids[k]] = "fresh" + std::to_string(k % 7);
        }
        fresh.merge_from(many, objects);
        EXPECT_TRUE(fresh.uses_fingerprints());
        for (const auto& [id, text] : many_values) {
            if (objects.contains(id)) fresh_values[id] = text;
        }
        expect_equality(fresh, fresh_values, rng, "fresh merged");
    }
}

// Strings with the same fingerprint stay apart: only the verified ones answer.
TEST(PositionalBitmap, CollidingStringsStayExact) {
    PositionalBitmap p(0, &same_fingerprint);
    std::map<uint32_t, std::string> values;
    for (uint32_t k = 0; k < 6000; ++k) {
        values[spread_id(k)] = "n" + std::to_string(k);
        p.insert(spread_id(k), values[spread_id(k)]);
    }
    ASSERT_TRUE(p.uses_fingerprints());
    EXPECT_TRUE(p.equal("n1") == Bitmap({spread_id(1)}));
    EXPECT_TRUE(p.equal("n12") == Bitmap({spread_id(12)}));
    EXPECT_TRUE(p.equal("n6000").is_empty());
    EXPECT_TRUE(p.equal("n").is_empty());
    const std::string_view both[] = {"n5", "n5999", "n50000"};
    EXPECT_TRUE(p.equal_any(both) == Bitmap({spread_id(5), spread_id(5999)}));
    const Bitmap only{spread_id(5999)};
    EXPECT_TRUE(p.equal_any(both, &only) == only);
}

}  // namespace
}  // namespace vorlane

#include "index/structures/links/link_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vorlane {
namespace {

using Ids = std::vector<uint32_t>;
using Link = std::pair<uint32_t, uint32_t>;  // holder, nested
using Model = std::multiset<Link>;

Bitmap expected_holders_of(const Model& model, const Bitmap& nested) {
    Bitmap out;
    for (const auto& [holder, n] : model) {
        if (nested.contains(n)) out.add(holder);
    }
    return out;
}

Bitmap expected_held_by(const Model& model, const Bitmap& holders) {
    Bitmap out;
    for (const auto& [holder, n] : model) {
        if (holders.contains(holder)) out.add(n);
    }
    return out;
}

// While the table keeps them: each nested object's set is its distinct
// holders, and no other nested object has one.
void expect_same_holder_sets(const LinkTable& table, const Model& model) {
    const detail::HolderSets* sets = table.holder_sets();
    if (sets == nullptr) return;
    std::map<uint32_t, Ids> holders;  // nested -> distinct holders, ascending
    for (const auto& [h, n] : model) {
        Ids& ids = holders[n];
        if (ids.empty() || ids.back() != h) ids.push_back(h);
    }
    uint64_t pairs = 0;
    for (const auto& [n, ids] : holders) pairs += ids.size();
    ASSERT_EQ(sets->nested(), holders.size());
    ASSERT_EQ(sets->pairs(), pairs);
    sets->for_each([&](uint32_t n, const HybridSet& set) {
        const auto it = holders.find(n);
        ASSERT_NE(it, holders.end()) << n;
        ASSERT_EQ(set.to_vector(), it->second) << n;
    });
}

// Every occurrence, both directions, against the model.
void expect_same_links(const LinkTable& table, const Model& model) {
    expect_same_holder_sets(table, model);
    ASSERT_EQ(table.size(), model.size());
    EXPECT_EQ(table.empty(), model.empty());
    Model seen;
    table.for_each([&](uint32_t holder, uint32_t nested) { seen.insert({holder, nested}); });
    ASSERT_TRUE(seen == model);
    Bitmap holders;
    Bitmap nested;
    for (const auto& [h, n] : model) {
        holders.add(h);
        nested.add(n);
    }
    // Both sides must agree: every nested id answers its holders and no others.
    EXPECT_TRUE(table.holders_of(nested) == holders);
    EXPECT_TRUE(table.held_by(holders) == nested);
    for (const auto& [h, n] : model) {
        ASSERT_EQ(table.count(h, n), model.count({h, n})) << h << " -> " << n;
        ASSERT_TRUE(table.has_holders(n));
    }
}

TEST(LinkTable, OccurrencesAreCounted) {
    LinkTable table;
    EXPECT_TRUE(table.empty());
    EXPECT_FALSE(table.remove(1, 2));

    table.insert(1, 2);
    table.insert(1, 2);
    table.insert(1, 3);
    table.insert(4, 2);
    EXPECT_EQ(table.size(), 4u);
    EXPECT_EQ(table.count(1, 2), 2u);
    EXPECT_EQ(table.count(2, 1), 0u);  // the direction matters

    Ids held;
    table.for_each_held(1, [&](uint32_t nested) { held.push_back(nested); });
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, (Ids{2, 2, 3}));

    // A pair that is absent, though both ids have other links, changes nothing.
    EXPECT_FALSE(table.remove(4, 3));
    EXPECT_EQ(table.size(), 4u);
    EXPECT_EQ(table.count(1, 3), 1u);
    EXPECT_EQ(table.count(4, 2), 1u);

    // The first removal leaves one occurrence, and with it the link.
    EXPECT_TRUE(table.remove(1, 2));
    EXPECT_TRUE(table.contains(1, 2));
    EXPECT_EQ(table.count(1, 2), 1u);
    EXPECT_EQ(table.holders_of(Bitmap{2}).to_vector(), (Ids{1, 4}));

    EXPECT_TRUE(table.remove(1, 2));
    EXPECT_FALSE(table.contains(1, 2));
    EXPECT_FALSE(table.remove(1, 2));
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table.holders_of(Bitmap{2}).to_vector(), (Ids{4}));
    EXPECT_EQ(table.held_by(Bitmap{1}).to_vector(), (Ids{3}));

    EXPECT_TRUE(table.remove(4, 2));
    EXPECT_FALSE(table.has_holders(2));
    EXPECT_TRUE(table.has_holders(3));
    EXPECT_TRUE(table.holders_of(Bitmap{2}).is_empty());
}

// Whether each holder has exactly one link follows inserts and removals,
// repeats of one pair included.
TEST(LinkTable, OneLinkPerHolder) {
    LinkTable table;
    EXPECT_TRUE(table.one_link_per_holder());
    table.insert(1, 9);
    table.insert(2, 9);
    table.insert(3, 8);
    EXPECT_TRUE(table.one_link_per_holder());
    EXPECT_EQ(table.links_to(9), 2u);
    EXPECT_TRUE(table.holds_any(2));
    EXPECT_FALSE(table.holds_any(9));
    table.insert(2, 9);  // the same object twice
    EXPECT_FALSE(table.one_link_per_holder());
    EXPECT_EQ(table.links_to(9), 3u);
    EXPECT_TRUE(table.remove(2, 9));
    EXPECT_TRUE(table.one_link_per_holder());
    table.insert(3, 7);  // two objects
    EXPECT_FALSE(table.one_link_per_holder());
    EXPECT_TRUE(table.remove(3, 8));
    EXPECT_TRUE(table.one_link_per_holder());
    EXPECT_TRUE(table.remove(3, 7));
    EXPECT_FALSE(table.holds_any(3));
}

// One pair repeated and one holder and one nested object with many links take
// their lists through every form (inline, heap, long with its own header) and
// back; memory returns to nothing once the last link goes.
TEST(LinkTable, LongListsGrowAndShrinkBack) {
    LinkTable table;
    Model model;
    for (uint32_t i = 0; i < 1000; ++i) {
        table.insert(7, 8);
        model.insert({7, 8});
        table.insert(7, 100 + i % 300);  // holder 7: 1000 links among 300 ids
        model.insert({7, 100 + i % 300});
        table.insert(5000 + i, 9);  // nested 9: 1000 holders
        model.insert({5000 + i, 9});
    }
    EXPECT_EQ(table.count(7, 8), 1000u);
    expect_same_links(table, model);
    const size_t full = table.memory_bytes();

    std::mt19937 rng(5);
    // Down to a handful, checking on the way through each change of form.
    while (model.size() > 6) {
        const auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
        ASSERT_TRUE(table.remove(it->first, it->second));
        model.erase(it);
        if (model.size() % 97 == 0) expect_same_links(table, model);
    }
    expect_same_links(table, model);
    // Shrinking gives back what growing took: the same links inserted afresh
    // take as much in their lists, and about as much in the holder sets (their
    // hash table keeps some of the buckets it grew).
    LinkTable fresh;
    for (const Link& link : model) fresh.insert(link.first, link.second);
    ASSERT_NE(table.holder_sets(), nullptr);
    const size_t sets = table.holder_sets()->memory_bytes();
    const size_t fresh_sets = fresh.holder_sets()->memory_bytes();
    EXPECT_EQ(table.memory_bytes() - sets, fresh.memory_bytes() - fresh_sets);
    EXPECT_LE(sets, fresh_sets + 512) << fresh_sets;
    EXPECT_LT(table.memory_bytes(), full);
    for (const Link& link : Model(model)) ASSERT_TRUE(table.remove(link.first, link.second));
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.memory_bytes(), 0u);
}

// The last id cannot sit in a hashed list's slots (it marks them empty): held
// several times in long lists, on both sides, through the change of form both ways.
TEST(LinkTable, LongListsHoldTheLastId) {
    constexpr uint32_t kTop = 0xFFFFFFFFu;
    LinkTable table;
    Model model;
    auto add = [&](uint32_t holder, uint32_t nested) {
        table.insert(holder, nested);
        model.insert({holder, nested});
    };
    for (uint32_t i = 0; i < 600; ++i) {
        add(7, 100 + i);   // holder 7: a long list
        add(kTop, 9);      // nested 9 held 600 times by the last id...
        add(i, 9);         // ...and once by each of 600 others
        if (i % 100 == 0) add(7, kTop);
    }
    EXPECT_EQ(table.count(7, kTop), 6u);
    EXPECT_EQ(table.count(kTop, 9), 600u);
    EXPECT_TRUE(table.contains(7, 100));
    EXPECT_FALSE(table.contains(7, 99));
    EXPECT_FALSE(table.contains(8, kTop));
    EXPECT_EQ(table.holders_of(Bitmap{kTop}).to_vector(), (Ids{7}));
    expect_same_links(table, model);

    // Down to a plain list and empty, in an order that keeps the last id to the end.
    for (uint32_t i = 0; i < 600; ++i) {
        ASSERT_TRUE(table.remove(7, 100 + i));
        model.erase(model.find({7, 100 + i}));
        ASSERT_TRUE(table.remove(i, 9));
        model.erase(model.find({i, 9}));
        if (i % 75 == 0 || i > 590) expect_same_links(table, model);
    }
    EXPECT_EQ(table.count(7, kTop), 6u);
    EXPECT_EQ(table.count(kTop, 9), 600u);
    for (const Link& link : Model(model)) ASSERT_TRUE(table.remove(link.first, link.second));
    EXPECT_FALSE(table.remove(7, kTop));
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.memory_bytes(), 0u);
}

// Random links among ids near 0, a dense run past a block boundary and ids
// over the whole 32-bit range, against a multiset of pairs, asking with sets
// small and large enough for every lookup strategy.
TEST(LinkTable, RandomLinksMatchAMultisetModel) {
    std::mt19937 rng(11);
    auto pick = [&]() -> uint32_t {
        switch (rng() % 5) {
            case 0: return rng() % 40;  // near 0, so repeated pairs are common
            case 1: return 65000 + rng() % 3000;
            case 2: return 0xFFFFFFFFu - rng() % 8;
            case 3: return 500 + rng() % 3;  // popular: lists long enough to be hashed
            default: return static_cast<uint32_t>(rng());
        }
    };
    // The longest list of the model, on either side.
    auto longest_list = [](const Model& model) {
        std::map<uint32_t, size_t> held;
        std::map<uint32_t, size_t> holders;
        size_t longest = 0;
        for (const auto& [h, n] : model) longest = std::max({longest, ++held[h], ++holders[n]});
        return longest;
    };
    LinkTable table;
    Model model;
    std::vector<Link> links;  // the model's occurrences, to pick one at random
    std::vector<uint32_t> seen_ids;
    for (int round = 0; round < 4; ++round) {
        // Rounds alternate between growing and shrinking the table.
        const unsigned insert_share = round % 2 == 0 ? 80 : 25;
        for (int step = 0; step < 20000; ++step) {
            if (rng() % 100 < insert_share || model.empty()) {
                const uint32_t holder = pick();
                const uint32_t nested = pick();
                table.insert(holder, nested);
                model.insert({holder, nested});
                links.push_back({holder, nested});
                seen_ids.push_back(holder);
                seen_ids.push_back(nested);
            } else if (rng() % 4 == 0) {
                // Often absent: removing it must fail and change nothing.
                const uint32_t holder = pick();
                const uint32_t nested = pick();
                const auto it = model.find({holder, nested});
                ASSERT_EQ(table.remove(holder, nested), it != model.end());
                if (it != model.end()) {
                    model.erase(it);
                    links.erase(std::find(links.begin(), links.end(), Link{holder, nested}));
                }
            } else {
                const size_t at = rng() % links.size();
                ASSERT_TRUE(table.remove(links[at].first, links[at].second));
                model.erase(model.find(links[at]));
                links[at] = links.back();
                links.pop_back();
            }
        }
        // Growing rounds take popular lists past the plain form; shrinking
        // rounds bring them back.
        if (round % 2 == 0) {
            ASSERT_GT(longest_list(model), 500u);
        }
        expect_same_links(table, model);
        for (const size_t asked_count : {size_t{1}, size_t{10}, size_t{200}, size_t{5000}, seen_ids.size()}) {
            Bitmap asked;
            for (size_t i = 0; i < asked_count; ++i) asked.add(seen_ids[rng() % seen_ids.size()]);
            EXPECT_TRUE(table.holders_of(asked) == expected_holders_of(model, asked)) << asked_count;
            EXPECT_TRUE(table.held_by(asked) == expected_held_by(model, asked)) << asked_count;
        }
        std::set<uint32_t> held;
        for (const auto& [h, n] : model) held.insert(n);
        for (int probe = 0; probe < 2000; ++probe) {
            const uint32_t holder = pick();
            const uint32_t nested = pick();
            ASSERT_EQ(table.count(holder, nested), model.count({holder, nested}));
            ASSERT_EQ(table.contains(holder, nested), model.contains({holder, nested}));
            ASSERT_EQ(table.has_holders(nested), held.contains(nested));
        }
    }
}

// A dense chain (i -> i + 1) over several page blocks: queries large enough to
// be sorted in more than one batch, and larger than the ids present.
TEST(LinkTable, LargeQueriesOnADenseChain) {
    constexpr uint32_t kLinks = 200000;
    LinkTable table;
    for (uint32_t i = 1; i <= kLinks; ++i) table.insert(i, i + 1);
    table.insert(kLinks, 1);  // a second link for the last holder, back to the start

    Bitmap all;
    all.add_range(1, kLinks);
    Bitmap expected_holders;
    expected_holders.add_range(1, kLinks);
    EXPECT_TRUE(table.holders_of(all) == expected_holders);  // nested 1 .. kLinks: holders kLinks, 1 .. kLinks - 1

    Bitmap wider;  // more ids asked than holders present
    wider.add_range(0, 3 * kLinks);
    Bitmap expected_held;
    expected_held.add_range(1, kLinks + 1);
    EXPECT_TRUE(table.held_by(wider) == expected_held);
    EXPECT_TRUE(table.held_by(all) == expected_held);

    Bitmap odd;
    for (uint32_t i = 1; i <= kLinks; i += 2) odd.add(i);
    Bitmap expected_even;
    for (uint32_t i = 2; i <= kLinks + 1; i += 2) expected_even.add(i);
    EXPECT_TRUE(table.held_by(odd) == expected_even);
    EXPECT_EQ(table.holders_of(Bitmap{1, kLinks + 1}).to_vector(), (Ids{kLinks}));
}

// Removing the holders of one popular object one by one takes each out of a
// hashed list at once; a few holders hold it twice.
TEST(LinkTable, ManyHoldersOfOneObjectLeaveOneByOne) {
    constexpr uint32_t kHolders = 200000;
    constexpr uint32_t kNested = 3;
    LinkTable table;
    std::vector<uint32_t> occurrences;  // one entry per link, in a random order below
    for (uint32_t h = 0; h < kHolders; ++h) {
        table.insert(h, kNested);
        occurrences.push_back(h);
        if (h % 1000 == 0) {
            table.insert(h, kNested);
            occurrences.push_back(h);
        }
    }
    table.insert(kHolders, kNested + 1);  // another object, untouched
    std::mt19937 rng(31);
    std::shuffle(occurrences.begin(), occurrences.end(), rng);
    ASSERT_EQ(table.size(), occurrences.size() + 1);
    EXPECT_EQ(table.count(5000, kNested), 2u);

    for (size_t t = 0; t < occurrences.size(); ++t) {
        const uint32_t holder = occurrences[t];
        ASSERT_TRUE(table.remove(holder, kNested)) << t;
        const size_t left = occurrences.size() - t - 1;
        if (t % 50000 == 0 || left == 2000 || left == 200) {
            // The removed holder still holds it only if it held it twice and
            // the other occurrence is still to go.
            const auto later = std::find(occurrences.begin() + static_cast<long>(t) + 1, occurrences.end(), holder);
            EXPECT_EQ(table.contains(holder, kNested), later != occurrences.end());
            Bitmap holders;
            LinkTable fresh;
            for (size_t u = t + 1; u < occurrences.size(); ++u) {
                holders.add(occurrences[u]);
                fresh.insert(occurrences[u], kNested);
            }
            fresh.insert(kHolders, kNested + 1);
            EXPECT_TRUE(table.holders_of(Bitmap{kNested}) == holders);
            // The list gives back its room as it shrinks: a table is kept at
            // least an eighth full, so beyond what the links left take afresh
            // it holds at most 8 slots of 4 bytes for each.
            EXPECT_LE(table.memory_bytes(), fresh.memory_bytes() + 8 * sizeof(uint32_t) * left) << left;
        }
    }
    EXPECT_FALSE(table.has_holders(kNested));
    EXPECT_FALSE(table.remove(0, kNested));
    EXPECT_EQ(table.size(), 1u);
    EXPECT_TRUE(table.remove(kHolders, kNested + 1));
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.memory_bytes(), 0u);
}

void insert_one_by_one(LinkTable& table, std::span<const Link> pairs) {
    for (const auto& [holder, nested] : pairs) table.insert(holder, nested);
}

// A bulk add's batches: holders ascending, a few links each, nested ids
// scattered, one of them popular enough for its list to be hashed part way
// through. The same table as one insert per link, byte for byte.
TEST(LinkTable, InsertManyOfBulkAddBatchesMatchesOneByOne) {
    std::mt19937 rng(41);
    LinkTable many;
    LinkTable one;
    Model model;
    uint32_t holder = 1000;
    for (int batch = 0; batch < 30; ++batch) {
        std::vector<Link> pairs;
        for (int h = 0; h < 400; ++h, ++holder) {
            for (int k = 0; k < 5; ++k) {
                // Ids under 65,536: one block of pages, so both tables allocate alike.
                const uint32_t nested = rng() % 10 == 0 ? 7 : rng() % 3000;
                pairs.push_back({holder, nested});
            }
        }
        many.insert_many(pairs);
        insert_one_by_one(one, pairs);
        model.insert(pairs.begin(), pairs.end());
        if (batch % 10 == 0) expect_same_links(many, model);
    }
    expect_same_links(many, model);
    ASSERT_GT(many.holders_of(Bitmap{7}).cardinality(), 253u);  // its list went past the plain form
    EXPECT_EQ(many.memory_bytes(), one.memory_bytes());
    many.insert_many({});
    EXPECT_EQ(many.size(), model.size());
}

// Batches in no order, with repeated pairs, ids over the whole 32-bit range
// and keys whose lists go from nothing, from a plain list and from a hashed
// list past the plain form's end in one batch; then everything removed again.
TEST(LinkTable, InsertManyMatchesOneByOneOnRandomBatches) {
    std::mt19937 rng(43);
    auto pick = [&]() -> uint32_t {
        switch (rng() % 5) {
            case 0: return rng() % 30;
            case 1: return 0xFFFFFFFFu - rng() % 4;
            case 2: return 900 + rng() % 2;  // popular
            default: return static_cast<uint32_t>(rng());
        }
    };
    LinkTable many;
    LinkTable one;
    Model model;
    std::vector<Link> all;
    for (const size_t batch_size : {size_t{0}, size_t{1}, size_t{3}, size_t{200}, size_t{5000}, size_t{1}, size_t{20000}}) {
        std::vector<Link> pairs;
        for (size_t t = 0; t < batch_size; ++t) pairs.push_back({pick(), pick()});
        if (batch_size == 200) {
            // One key from nothing to past the plain form at once, and a plain
            // list (of 30 below) pushed past it.
            for (uint32_t t = 0; t < 300; ++t) pairs.push_back({77, t % 250});
            for (uint32_t t = 0; t < 300; ++t) pairs.push_back({t % 7, 12345});
        }
        many.insert_many(pairs);
        insert_one_by_one(one, pairs);
        model.insert(pairs.begin(), pairs.end());
        all.insert(all.end(), pairs.begin(), pairs.end());
        expect_same_links(many, model);
    }
    Model seen;
    one.for_each([&](uint32_t h, uint32_t n) { seen.insert({h, n}); });
    EXPECT_TRUE(seen == model);

    std::shuffle(all.begin(), all.end(), rng);
    for (size_t t = 0; t < all.size(); ++t) {
        ASSERT_TRUE(many.remove(all[t].first, all[t].second)) << t;
        if (t == all.size() / 2) {
            Model rest(all.begin() + static_cast<long>(t) + 1, all.end());
            expect_same_links(many, rest);
        }
    }
    EXPECT_TRUE(many.empty());
    EXPECT_EQ(many.memory_bytes(), 0u);
}

// The distinct holders of a nested object: a holder is in from its first
// occurrence to its last, whether the occurrences come one by one, in one
// batch, or in a list long enough to be hashed.
TEST(LinkTable, HolderSetsFollowFirstAndLastOccurrence) {
    LinkTable table;
    ASSERT_NE(table.holder_sets(), nullptr);
    const detail::HolderSets& sets = *table.holder_sets();
    auto holders_of = [&](uint32_t nested) {
        const HybridSet* set = sets.find(nested);
        return set == nullptr ? Ids{} : set->to_vector();
    };
    table.insert(1, 9);
    table.insert(1, 9);
    table.insert(2, 9);
    table.insert(1, 10);
    EXPECT_EQ(holders_of(9), (Ids{1, 2}));
    EXPECT_EQ(holders_of(10), (Ids{1}));
    EXPECT_EQ(sets.pairs(), 3u);

    ASSERT_TRUE(table.remove(1, 9));
    EXPECT_EQ(holders_of(9), (Ids{1, 2}));  // one occurrence left
    ASSERT_TRUE(table.remove(1, 9));
    EXPECT_EQ(holders_of(9), (Ids{2}));
    EXPECT_FALSE(table.remove(1, 9));
    EXPECT_EQ(holders_of(9), (Ids{2}));
    ASSERT_TRUE(table.remove(2, 9));
    EXPECT_EQ(sets.find(9), nullptr);
    EXPECT_EQ(sets.nested(), 1u);

    const std::vector<Link> batch{{5, 9}, {5, 9}, {3, 9}, {4, 10}, {1, 10}};
    table.insert_many(batch);
    EXPECT_EQ(holders_of(9), (Ids{3, 5}));
    EXPECT_EQ(holders_of(10), (Ids{1, 4}));
    EXPECT_EQ(sets.pairs(), 4u);

    // Holder 7 holds 11 through 300 occurrences: its list is hashed, and it
    // stays a holder until the last one goes.
    for (int i = 0; i < 300; ++i) table.insert(7, 11);
    for (int i = 0; i < 299; ++i) ASSERT_TRUE(table.remove(7, 11));
    EXPECT_EQ(holders_of(11), (Ids{7}));
    ASSERT_TRUE(table.remove(7, 11));
    EXPECT_EQ(sets.find(11), nullptr);

    for (const Link& link : std::vector<Link>{{1, 10}, {1, 10}, {3, 9}, {4, 10}, {5, 9}, {5, 9}}) {
        ASSERT_TRUE(table.remove(link.first, link.second));
    }
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(sets.nested(), 0u);
    EXPECT_EQ(sets.pairs(), 0u);
    EXPECT_EQ(table.memory_bytes(), 0u);
}

// A few nested objects held by thousands of holders, through single links and
// batches, repeated occurrences, and rounds of removals that take the sets
// through their bitmaps and back to a few ids, against a multiset of pairs.
TEST(LinkTable, HolderSetsMatchAModelThroughRandomChanges) {
    std::mt19937 rng(47);
    LinkTable table;
    Model model;
    std::vector<Link> links;
    auto pick_link = [&]() -> Link {
        // Holders across more than one bitmap container; one holder often
        // holds the same object twice.
        const uint32_t holder = rng() % 4 == 0 ? 70000 + rng() % 50 : rng() % 150000;
        return {holder, 1 + rng() % 30};
    };
    for (int round = 0; round < 6; ++round) {
        const bool growing = round % 2 == 0;
        for (int step = 0; step < 3000; ++step) {
            const unsigned r = rng() % 100;
            if (links.empty() || (growing ? r < 70 : r < 10)) {
                if (rng() % 8 == 0) {
                    std::vector<Link> batch(1 + rng() % 400);
                    for (Link& link : batch) link = pick_link();
                    if (rng() % 2 == 0) std::sort(batch.begin(), batch.end());  // as a bulk add's
                    table.insert_many(batch);
                    model.insert(batch.begin(), batch.end());
                    links.insert(links.end(), batch.begin(), batch.end());
                } else {
                    const Link link = pick_link();
                    table.insert(link.first, link.second);
                    model.insert(link);
                    links.push_back(link);
                }
            } else {
                const size_t at = rng() % links.size();
                ASSERT_TRUE(table.remove(links[at].first, links[at].second));
                model.erase(model.find(links[at]));
                links[at] = links.back();
                links.pop_back();
            }
        }
        ASSERT_NE(table.holder_sets(), nullptr) << round;
        expect_same_links(table, model);
    }
    // Down to nothing: the sets and their memory go with the last link.
    std::shuffle(links.begin(), links.end(), rng);
    for (size_t t = 0; t < links.size(); ++t) {
        ASSERT_TRUE(table.remove(links[t].first, links[t].second));
        model.erase(model.find(links[t]));
        if (t % 5000 == 0) expect_same_links(table, model);
    }
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.memory_bytes(), 0u);
}

// Thousands of nested objects with one holder each drop the sets; links that
// then pile up on a few of them build the sets again, exact, once there are
// enough holders per nested object; a batch of objects each held once drops
// them before building any; an emptied table keeps them again.
TEST(LinkTable, HolderSetsAreDroppedAndBuiltAgain) {
    constexpr uint32_t kSpread = 5000;  // past LinkTable::kAlwaysKept
    LinkTable table;
    Model model;
    auto add = [&](uint32_t holder, uint32_t nested) {
        table.insert(holder, nested);
        model.insert({holder, nested});
    };
    for (uint32_t i = 0; i < kSpread; ++i) {
        add(i, 100000 + i);
        if (i == LinkTable::kAlwaysKept - 1) {
            ASSERT_NE(table.holder_sets(), nullptr);
        }
    }
    EXPECT_EQ(table.holder_sets(), nullptr);
    expect_same_links(table, model);
    const size_t links_only = table.memory_bytes();

    // 2 * kHoldersPerNested holders for each nested object, half one by one,
    // half in batches, all on ten of them.
    const uint32_t wanted = 2 * LinkTable::kHoldersPerNested * kSpread;
    uint32_t holder = 200000;
    for (; table.size() < wanted / 2; ++holder) add(holder, 100000 + holder % 10);
    EXPECT_EQ(table.holder_sets(), nullptr);  // the links have not doubled since the last look
    while (table.holder_sets() == nullptr && table.size() < 4 * wanted) {
        std::vector<Link> batch;
        for (int t = 0; t < 1000; ++t, ++holder) batch.push_back({holder, 100000 + holder % 10});
        table.insert_many(batch);
        model.insert(batch.begin(), batch.end());
    }
    ASSERT_NE(table.holder_sets(), nullptr);
    EXPECT_GE(table.size(), wanted);
    expect_same_links(table, model);
    EXPECT_GT(table.memory_bytes(), links_only);
    // Kept up from there on, one link at a time too.
    add(holder, 100000);
    add(7, 100003);
    ASSERT_TRUE(table.remove(0, 100000));
    model.erase(model.find({0, 100000}));
    expect_same_links(table, model);

    // As many new nested objects as links, held once each: no sets built.
    std::vector<Link> spread;
    for (uint32_t i = 0; i < 4 * wanted; ++i) spread.push_back({holder + i, 1000000 + i});
    table.insert_many(spread);
    model.insert(spread.begin(), spread.end());
    EXPECT_EQ(table.holder_sets(), nullptr);
    expect_same_links(table, model);

    for (const Link& link : model) ASSERT_TRUE(table.remove(link.first, link.second));
    model.clear();
    EXPECT_EQ(table.memory_bytes(), 0u);
    ASSERT_NE(table.holder_sets(), nullptr);
    add(3, 4);
    add(5, 4);
    expect_same_links(table, model);
    EXPECT_EQ(table.holder_sets()->find(4)->to_vector(), (Ids{3, 5}));
}

// A few nested objects held by many (their holder sets kept as bitmaps) and
// one held by few (an array): the holders of any choice of nested ids, asked
// with fewer ids than there are sets and with more (ids holding nothing among
// them), are those of the model, through repeated links and removals.
TEST(LinkTable, HoldersOfFewPopularObjectsMatchTheModel) {
    LinkTable table;
    Model model;
    auto add = [&](uint32_t holder, uint32_t nested) {
        table.insert(holder, nested);
        model.insert({holder, nested});
    };
    std::vector<Link> batch;
    for (uint32_t holder = 1000; holder < 31000; ++holder) batch.push_back({holder, 1 + holder % 3});
    table.insert_many(batch);
    model.insert(batch.begin(), batch.end());
    add(7, 4);
    add(8, 4);
    add(1002, 1);  // an occurrence repeated
    add(1001, 2);  // a holder of 3 holds 2 too
    ASSERT_NE(table.holder_sets(), nullptr);
    ASSERT_NE(table.holder_sets()->find(1)->bitmap_form(), nullptr);
    ASSERT_EQ(table.holder_sets()->find(4)->bitmap_form(), nullptr);

    const std::vector<Bitmap> asked_sets = [] {
        std::vector<Bitmap> out;
        out.push_back(Bitmap{});
        out.push_back(Bitmap{2});
        out.push_back(Bitmap{4});
        out.push_back(Bitmap{1, 4});
        out.push_back(Bitmap{1, 2, 3, 4});
        out.push_back(Bitmap{9});
        Bitmap wide;
        wide.add_range(0, 5000);  // far more ids than sets
        out.push_back(std::move(wide));
        return out;
    }();
    auto check = [&] {
        for (const Bitmap& asked : asked_sets) {
            ASSERT_TRUE(table.holders_of(asked) == expected_holders_of(model, asked)) << asked.cardinality();
        }
    };
    check();
    // One occurrence of a repeated link goes: the holder stays; the other goes: it leaves.
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(table.remove(1002, 1));
        model.erase(model.find({1002, 1}));
        EXPECT_EQ(table.holders_of(Bitmap{1}).contains(1002), pass == 0);
        check();
    }
    // Every holder of 2 leaves: asking for it finds nothing.
    for (uint32_t holder = 1000; holder < 31000; ++holder) {
        if (1 + holder % 3 == 2) {
            ASSERT_TRUE(table.remove(holder, 2));
        }
    }
    ASSERT_TRUE(table.remove(1001, 2));
    for (auto it = model.begin(); it != model.end();) it = it->second == 2 ? model.erase(it) : std::next(it);
    EXPECT_TRUE(table.holders_of(Bitmap{2}).is_empty());
    check();
}

TEST(LinkTable, MoveLeavesAnEmptyTable) {
    LinkTable table;
    table.insert(1, 2);
    table.insert(1, 2);
    LinkTable moved(std::move(table));
    EXPECT_EQ(moved.count(1, 2), 2u);
    EXPECT_EQ(moved.size(), 2u);
    EXPECT_TRUE(table.empty());  // NOLINT(bugprone-use-after-move): a moved-from table is empty and usable
    EXPECT_EQ(table.memory_bytes(), 0u);
    table.insert(5, 6);
    EXPECT_EQ(table.holders_of(Bitmap{6}).to_vector(), (Ids{5}));
    table = std::move(moved);
    EXPECT_EQ(table.count(1, 2), 2u);
    EXPECT_FALSE(table.contains(5, 6));
}

}  // namespace
}  // namespace vorlane

#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/structures/time_key.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <thread>
#include <vector>

namespace vorlane {
namespace {

// A number as the value model holds it: an exact integer or a (non-NaN) double.
struct Num {
    bool is_int;
    int64_t i;
    double d;
};

Num int_num(int64_t v) { return {true, v, 0.0}; }
Num float_num(double v) { return {false, 0, v}; }

OrderKey key_of(const Num& n) { return n.is_int ? int_order_key(n.i) : *float_order_key(n.d); }

int sign_of(double x) { return x < 0 ? -1 : (x > 0 ? 1 : 0); }

// Exact comparison of an integer with a double, without rounding the integer.
int compare_int_double(int64_t i, double d) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (d >= kTwo63) return -1;  // includes +inf
    if (d < -kTwo63) return 1;   // includes -inf
    const double whole = std::trunc(d);
    const auto whole_int = static_cast<int64_t>(whole);  // exact: |whole| <= 2^63, -2^63 fits
    if (i != whole_int) return i < whole_int ? -1 : 1;
    return -sign_of(d - whole);
}

int exact_compare(const Num& a, const Num& b) {
    if (a.is_int && b.is_int) return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
    if (!a.is_int && !b.is_int) return a.d < b.d ? -1 : (a.d > b.d ? 1 : 0);
    if (a.is_int) return compare_int_double(a.i, b.d);
    return -compare_int_double(b.i, a.d);
}

int key_compare(const OrderKey& a, const OrderKey& b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

class NumberSource {
public:
    explicit NumberSource(uint32_t seed) : rng_(seed) {}

    int64_t integer() {
        const int64_t small = static_cast<int64_t>(rng_() % 9) - 4;
        const int64_t two53 = int64_t{1} << 53;
        switch (rng_() % 7) {
            case 0:
                return static_cast<int64_t>(wide());
            case 1:
                return std::numeric_limits<int64_t>::max() - static_cast<int64_t>(rng_() % 5);
            case 2:
                return std::numeric_limits<int64_t>::min() + static_cast<int64_t>(rng_() % 5);
            case 3:
                return (rng_() % 2 ? two53 : -two53) + small;
            case 4: {
                const int shift = static_cast<int>(rng_() % 63);
                return (rng_() % 2 ? 1 : -1) * (int64_t{1} << shift) + small;
            }
            default:
                return static_cast<int64_t>(rng_() % 2001) - 1000;
        }
    }

    double floating() {
        constexpr double kInf = std::numeric_limits<double>::infinity();
        const double sign = rng_() % 2 ? 1.0 : -1.0;
        switch (rng_() % 9) {
            case 0: {
                double d;
                do {
                    d = std::bit_cast<double>(wide());
                } while (std::isnan(d));
                return d;
            }
            case 1:  // subnormal
                return sign * std::bit_cast<double>(wide() % ((uint64_t{1} << 52) - 1) + 1);
            case 2: {
                const double specials[] = {0.0,
                                           kInf,
                                           std::numeric_limits<double>::min(),
                                           std::numeric_limits<double>::denorm_min(),
                                           std::numeric_limits<double>::max(),
                                           9223372036854775808.0,
                                           9007199254740992.0};
                return sign * specials[rng_() % std::size(specials)];
            }
            case 3:  // an integer's nearest double, often equal to one of them
                return static_cast<double>(integer());
            case 4: {
                const double d = static_cast<double>(integer());
                return std::nextafter(d, rng_() % 2 ? kInf : -kInf);
            }
            case 5:
                return static_cast<double>(static_cast<int64_t>(rng_() % 2001) - 1000) +
                       (rng_() % 2 ? 0.5 : -0.25);
            default:
                return static_cast<double>(static_cast<int64_t>(rng_() % 2001) - 1000);
        }
    }

    Num number() { return rng_() % 2 ? int_num(integer()) : float_num(floating()); }
    uint32_t below(uint32_t n) { return rng_() % n; }

private:
    uint64_t wide() { return (uint64_t{rng_()} << 32) | rng_(); }
    std::mt19937 rng_;
};

TEST(OrderKey, KnownKeysAndSharedIntFloatSpace) {
    const OrderKey one{0xBFF, 0x8000000000000000ULL};
    EXPECT_EQ(int_order_key(1), one);
    EXPECT_EQ(*float_order_key(1.0), one);
    EXPECT_EQ(int_order_key(3), (OrderKey{0xC00, 0xC000000000000000ULL}));
    EXPECT_EQ(*float_order_key(3.0), int_order_key(3));
    EXPECT_EQ(int_order_key(-1), (OrderKey{0x400, 0x7FFFFFFFFFFFFFFFULL}));
    EXPECT_EQ(*float_order_key(-1.0), int_order_key(-1));
    EXPECT_EQ(*float_order_key(0.5), (OrderKey{0xBFE, 0x8000000000000000ULL}));
    EXPECT_EQ(*float_order_key(std::numeric_limits<double>::infinity()),
              (OrderKey{0xFFF, 0x8000000000000000ULL}));
    EXPECT_EQ(*float_order_key(-0.0), int_order_key(0));
    EXPECT_EQ(*float_order_key(0.0), int_order_key(0));
    // The most negative integer is -2^63 exactly, as a double can say too.
    EXPECT_EQ(int_order_key(std::numeric_limits<int64_t>::min()),
              *float_order_key(-9223372036854775808.0));
    // Integers beyond 2^53 are not rounded.
    EXPECT_LT(int_order_key(std::numeric_limits<int64_t>::max() - 1),
              int_order_key(std::numeric_limits<int64_t>::max()));
    EXPECT_LT(int_order_key(std::numeric_limits<int64_t>::max()),
              *float_order_key(9223372036854775808.0));
    EXPECT_LT(*float_order_key(9007199254740992.0), int_order_key(9007199254740993));
    // Subnormals sit strictly between zero and the smallest normal, mirrored below zero.
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double normal = std::numeric_limits<double>::min();
    EXPECT_LT(int_order_key(0), *float_order_key(tiny));
    EXPECT_LT(*float_order_key(tiny), *float_order_key(normal / 2));
    EXPECT_LT(*float_order_key(normal / 2), *float_order_key(normal));
    EXPECT_GT(int_order_key(0), *float_order_key(-tiny));
    EXPECT_GT(*float_order_key(-tiny), *float_order_key(-normal));
}

TEST(OrderKey, NaNHasNoKey) {
    EXPECT_FALSE(float_order_key(std::numeric_limits<double>::quiet_NaN()).has_value());
    EXPECT_FALSE(float_order_key(-std::numeric_limits<double>::quiet_NaN()).has_value());
    EXPECT_FALSE(float_order_key(std::bit_cast<double>(0x7FF0000000000001ULL)).has_value());
    EXPECT_FALSE(float_order_key(std::bit_cast<double>(0xFFFFFFFFFFFFFFFFULL)).has_value());
}

TEST(OrderKey, RandomPairsOrderAsExactNumbers) {
    NumberSource source(2024);
    std::vector<Num> values;
    for (int i = 0; i < 4000; ++i) values.push_back(source.number());
    // Every pair among the first 700, plus random pairs over all.
    for (size_t a = 0; a < 700; ++a) {
        for (size_t b = a; b < 700; ++b) {
            ASSERT_EQ(key_compare(key_of(values[a]), key_of(values[b])),
                      exact_compare(values[a], values[b]))
                << a << " vs " << b;
        }
    }
    for (int n = 0; n < 200000; ++n) {
        const Num& x = values[source.below(4000)];
        const Num& y = values[source.below(4000)];
        ASSERT_EQ(key_compare(key_of(x), key_of(y)), exact_compare(x, y));
    }
    // Equal numbers of the two kinds meet on one key.
    for (int n = 0; n < 20000; ++n) {
        const int64_t v = source.integer();
        const double d = static_cast<double>(v);
        if (compare_int_double(v, d) == 0) {
            ASSERT_EQ(int_order_key(v), *float_order_key(d)) << v;
        } else {
            ASSERT_NE(int_order_key(v), *float_order_key(d)) << v;
        }
    }
}

TEST(BufferedBitmap, PushFlushesWhenFullAndFlushEmptiesBuffer) {
    BufferedBitmap<64> b;
    for (uint32_t id = 0; id < 64; ++id) b.push(id * 3);
    EXPECT_TRUE(b.bitmap().is_empty());
    EXPECT_EQ(b.pending_count(), 64u);
    b.push(1000);
    EXPECT_EQ(b.bitmap().cardinality(), 64u);
    EXPECT_TRUE(b.bitmap().contains(63 * 3));
    EXPECT_EQ(b.pending_count(), 1u);
    b.flush();
    EXPECT_EQ(b.pending_count(), 0u);
    EXPECT_EQ(b.bitmap().cardinality(), 65u);
    b.flush();
    EXPECT_EQ(b.bitmap().cardinality(), 65u);

    BufferedBitmap<32> small;
    for (uint32_t id = 0; id < 100; ++id) small.push(id);
    small.flush();
    EXPECT_EQ(small.bitmap().cardinality(), 100u);
}

// Brute force over the same ids decides what each search must return.
class NumericalBitmapModel {
public:
    NumericalBitmap bits;
    std::map<uint32_t, Num> values;

    void insert(uint32_t id, const Num& n, bool bulk) {
        if (bulk) {
            bits.push(id, key_of(n));
        } else {
            bits.insert(id, key_of(n));
        }
        values[id] = n;
    }
    void remove(uint32_t id) {
        bits.remove(id, key_of(values.at(id)));
        values.erase(id);
    }
    template <class Pred>
    Bitmap expected(const Bitmap& candidates, Pred pred) const {
        Bitmap out;
        for (const auto& [id, n] : values) {
            if (candidates.contains(id) && pred(exact_compare(n, probe))) out.add(id);
        }
        return out;
    }
    Num probe{};
};

TEST(NumericalBitmap, RandomSearchesMatchBruteForce) {
    NumberSource source(99);
    std::vector<Num> pool;
    for (int i = 0; i < 250; ++i) pool.push_back(source.number());
    NumericalBitmapModel model;
    for (uint32_t i = 1; i <= 3000; ++i) {
        const uint32_t id = i * 37 + (i % 3) * 70001;
        model.insert(id, pool[source.below(pool.size())], i % 2 == 0);
    }
    model.bits.flush();
    // Remove a tenth, and move a tenth to new values.
    std::vector<uint32_t> ids;
    for (const auto& [id, n] : model.values) ids.push_back(id);
    for (size_t k = 0; k < ids.size(); k += 10) model.remove(ids[k]);
    for (size_t k = 5; k < ids.size(); k += 10) {
        model.remove(ids[k]);
        model.insert(ids[k], source.number(), false);
    }

    Bitmap candidates;
    for (uint32_t id : ids) {
        if (source.below(10) < 7) candidates.add(id);
    }
    candidates.add(5);  // never inserted
    constexpr uint32_t kMarker = 4000000000U;

    std::vector<Num> probes(pool.begin(), pool.begin() + 120);
    for (int i = 0; i < 80; ++i) probes.push_back(source.number());
    for (const Num& probe : probes) {
        model.probe = probe;
        const OrderKey key = key_of(probe);
        struct Search {
            const char* name;
            void (NumericalBitmap::*run)(const OrderKey&, Bitmap&, const Bitmap&) const;
            bool (*keep)(int);
        };
        const Search searches[] = {
            {"gt", &NumericalBitmap::get_gt_into_base, [](int c) { return c > 0; }},
            {"ge", &NumericalBitmap::get_gte_into_base, [](int c) { return c >= 0; }},
            {"lt", &NumericalBitmap::get_lt_into_base, [](int c) { return c < 0; }},
            {"le", &NumericalBitmap::get_lte_into_base, [](int c) { return c <= 0; }},
        };
        for (const auto& search : searches) {
            Bitmap base{kMarker};
            (model.bits.*search.run)(key, base, candidates);
            Bitmap expected = model.expected(candidates, search.keep);
            expected.add(kMarker);
            ASSERT_TRUE(base == expected) << search.name << " got " << base.cardinality()
                                          << " want " << expected.cardinality();
        }
        Bitmap all;
        for (const auto& [id, n] : model.values) all.add(id);
        ASSERT_TRUE(model.bits.get_eq(key) == model.expected(all, [](int c) { return c == 0; }));
    }
}

// Batched removals (one by one below the batch threshold, in one sweep above
// it, and settled by the insert of an id that waits), then every search
// against the remaining values. The slices hold no id twice and no stale bit.
TEST(NumericalBitmap, BatchedRemovalsSettleToExactlyTheRemainingValues) {
    NumberSource source(7);
    std::vector<Num> pool;
    for (int i = 0; i < 60; ++i) pool.push_back(source.number());
    NumericalBitmapModel model;
    for (uint32_t i = 0; i < 20000; ++i) model.insert(i * 3 + (i % 5) * 65536, pool[source.below(pool.size())], i % 2 == 0);
    model.bits.flush();
    std::vector<uint32_t> ids;
    for (const auto& [id, n] : model.values) ids.push_back(id);
    auto remove_soon = [&](uint32_t id) {
        model.bits.remove_soon(id, key_of(model.values.at(id)));
        model.values.erase(id);
    };
    // Few: settled id by id by the search below.
    for (size_t k = 0; k < 5; ++k) remove_soon(ids[k * 101]);
    EXPECT_TRUE(model.bits.has_waiting_removals());
    // Many, with one moved to a new value while it waits (the insert settles first).
    for (size_t k = 1000; k < 10000; k += 2) remove_soon(ids[k]);
    EXPECT_TRUE(model.bits.has_waiting_removals());
    remove_soon(ids[1501]);
    model.insert(ids[1501], pool[0], false);
    EXPECT_FALSE(model.bits.has_waiting_removals());
    // Past the batch limit the structure settles by itself.
    for (size_t k = 10001; k < 19000; k += 1) remove_soon(ids[k]);
    model.bits.settle_removals();
    EXPECT_FALSE(model.bits.has_waiting_removals());

    Bitmap all;
    for (const auto& [id, n] : model.values) all.add(id);
    for (size_t i = 0; i < kOrderKeyBits; ++i) {
        const Bitmap& zeros = model.bits.slice(i)[0].bitmap();
        const Bitmap& ones = model.bits.slice(i)[1].bitmap();
        ASSERT_TRUE(zeros.or_(ones) == all) << "slice " << i;
        ASSERT_FALSE(zeros.intersects(ones)) << "slice " << i;
    }
    for (size_t p = 0; p < 40; ++p) {
        model.probe = p < 30 ? pool[p] : source.number();
        const OrderKey key = key_of(model.probe);
        Bitmap gt;
        model.bits.get_gt_into_base(key, gt, all);
        ASSERT_TRUE(gt == model.expected(all, [](int c) { return c > 0; }));
        Bitmap le;
        model.bits.get_lte_into_base(key, le, all);
        ASSERT_TRUE(le == model.expected(all, [](int c) { return c <= 0; }));
        ASSERT_TRUE(model.bits.get_eq(key) == model.expected(all, [](int c) { return c == 0; }));
    }
}

TEST(NumericalBitmap, EdgeSearches) {
    NumericalBitmap bits(0);  // in the slices from the first id
    bits.insert(1, int_order_key(3));
    bits.insert(2, *float_order_key(-0.0));
    bits.insert(3, *float_order_key(-2.5));
    bits.insert(4, *float_order_key(std::numeric_limits<double>::infinity()));
    bits.insert(5, *float_order_key(-std::numeric_limits<double>::infinity()));
    const Bitmap all{1, 2, 3, 4, 5};

    Bitmap ge3;
    bits.get_gte_into_base(int_order_key(3), ge3, all);
    EXPECT_EQ(ge3.to_vector(), (std::vector<uint32_t>{1, 4}));
    Bitmap le3;
    bits.get_lte_into_base(*float_order_key(3.0), le3, all);
    EXPECT_EQ(le3.to_vector(), (std::vector<uint32_t>{1, 2, 3, 5}));
    Bitmap below_zero;
    bits.get_lt_into_base(int_order_key(0), below_zero, all);
    EXPECT_EQ(below_zero.to_vector(), (std::vector<uint32_t>{3, 5}));
    EXPECT_EQ(bits.get_eq(int_order_key(0)).to_vector(), (std::vector<uint32_t>{2}));

    Bitmap none;
    bits.get_gt_into_base(*float_order_key(std::numeric_limits<double>::infinity()), none, all);
    bits.get_lt_into_base(*float_order_key(-std::numeric_limits<double>::infinity()), none, all);
    bits.get_gte_into_base(int_order_key(-100), none, Bitmap{});
    EXPECT_TRUE(none.is_empty());

    // Removal under the insert key leaves no bit behind in any slice.
    bits.remove(1, int_order_key(3));
    for (size_t i = 0; i < kOrderKeyBits; ++i) {
        EXPECT_FALSE(bits.slice(i)[0].bitmap().contains(1));
        EXPECT_FALSE(bits.slice(i)[1].bitmap().contains(1));
    }
    // Every other id is in exactly one entry of every slice.
    for (uint32_t id : {2u, 3u, 4u, 5u}) {
        for (size_t i = 0; i < kOrderKeyBits; ++i) {
            EXPECT_NE(bits.slice(i)[0].bitmap().contains(id),
                      bits.slice(i)[1].bitmap().contains(id));
        }
    }
}

TEST(NumericalBitmap, BulkPushThenRemoveBeforeFlushLosesNothingAndRevivesNothing) {
    NumericalBitmap bits;
    for (uint32_t id = 1; id <= 200; ++id) bits.push(id, int_order_key(id % 7));
    bits.remove(200, int_order_key(200 % 7));  // still pending
    bits.flush();
    const Bitmap eq = bits.get_eq(int_order_key(200 % 7));
    EXPECT_FALSE(eq.contains(200));
    EXPECT_EQ(eq.cardinality(), 28u);  // 199 / 7 ids with remainder 4
    bits.retain(Bitmap{4, 11, 12});
    EXPECT_EQ(bits.get_eq(int_order_key(4)).to_vector(), (std::vector<uint32_t>{4, 11}));
}

TEST(NumericalBitmap, ScratchIsPerThreadAndNotReentrant) {
    {
        detail::ScratchBitmap held;
        EXPECT_THROW(detail::ScratchBitmap again, InternalError);
        // Another thread has its own scratch and searches freely.
        bool ok = false;
        std::thread other([&] {
            NumericalBitmap bits;
            bits.insert(1, int_order_key(5));
            Bitmap base;
            bits.get_gt_into_base(int_order_key(4), base, Bitmap{1});
            ok = base.contains(1);
        });
        other.join();
        EXPECT_TRUE(ok);
    }
    // Released on scope exit: later searches and borrows on this thread work.
    NumericalBitmap bits;
    Bitmap base;
    bits.get_lt_into_base(int_order_key(4), base, Bitmap{1});
    detail::ScratchBitmap after;
}

// --- small form ------------------------------------------------------------

// Checks every search of `bits` against the model, for each probe, with and
// without the absent id 3 among the candidates.
void expect_searches(const NumericalBitmap& bits, const std::map<uint32_t, Num>& values,
                     const std::vector<Num>& probes, const char* where) {
    Bitmap all{3};
    Bitmap some;
    uint32_t k = 0;
    for (const auto& [id, n] : values) {
        all.add(id);
        if (k++ % 2 == 0) some.add(id);
    }
    constexpr uint32_t kMarker = 4000000000U;
    for (const Num& probe : probes) {
        const OrderKey key = key_of(probe);
        for (const Bitmap* candidates : {&all, &some}) {
            Bitmap want[5];  // eq gt ge lt le
            for (const auto& [id, n] : values) {
                if (!candidates->contains(id)) continue;
                const int c = exact_compare(n, probe);
                if (c == 0) want[0].add(id);
                if (c > 0) want[1].add(id);
                if (c >= 0) want[2].add(id);
                if (c < 0) want[3].add(id);
                if (c <= 0) want[4].add(id);
            }
            ASSERT_TRUE(bits.get_eq(key, candidates) == want[0]) << where;
            if (candidates == &all) {
                ASSERT_TRUE(bits.get_eq(key) == want[0]) << where;
            }
            void (NumericalBitmap::*ranges[])(const OrderKey&, Bitmap&, const Bitmap&) const = {
                &NumericalBitmap::get_gt_into_base, &NumericalBitmap::get_gte_into_base,
                &NumericalBitmap::get_lt_into_base, &NumericalBitmap::get_lte_into_base};
            for (size_t r = 0; r < 4; ++r) {
                Bitmap base{kMarker};
                (bits.*ranges[r])(key, base, *candidates);
                want[r + 1].add(kMarker);
                ASSERT_TRUE(base == want[r + 1]) << where << " range " << r;
            }
        }
    }
}

// Ids a chunk apart, as in a small index of a large process.
uint32_t spread_id(uint32_t i) { return i * 65537 + 11; }

// One random sequence on three structures: pairs that move to the slices past 6
// ids (by any kind of insert), pairs that never do here, and slices from the
// start. All must answer like the model after every step.
TEST(NumericalBitmap, SmallFormAndSwitchMatchBruteForce) {
    NumberSource source(5);
    std::vector<Num> pool;
    for (int i = 0; i < 12; ++i) pool.push_back(source.number());
    pool.push_back(int_num(7));
    pool.push_back(float_num(7.0));  // the same key as 7
    NumericalBitmap switching(6);
    NumericalBitmap small(1000);
    NumericalBitmap large(0);
    std::map<uint32_t, Num> values;
    bool saw_small_with_ids = false;
    for (int step = 0; step < 120; ++step) {
        const uint32_t op = source.below(10);
        if (op < 6 || values.empty()) {  // new ids: one inserted, several pushed or inserted in one call
            std::vector<uint32_t> ids;
            std::vector<OrderKey> keys;
            for (uint32_t j = 0, count = op % 3 == 0 ? 1 : 1 + source.below(4); j < count; ++j) {
                const uint32_t id = spread_id(source.below(40));
                if (values.count(id) != 0) continue;
                const Num n = pool[source.below(static_cast<uint32_t>(pool.size()))];
                ids.push_back(id);
                values[id] = n;
            }
            std::sort(ids.begin(), ids.end());  // insert_many takes ascending ids
            for (uint32_t id : ids) keys.push_back(key_of(values.at(id)));
            for (NumericalBitmap* b : {&switching, &small, &large}) {
                if (op % 3 == 0) {
                    for (size_t j = 0; j < ids.size(); ++j) b->insert(ids[j], keys[j]);
                } else if (op % 3 == 1) {
                    for (size_t j = 0; j < ids.size(); ++j) b->push(ids[j], keys[j]);
                    b->flush();
                } else {
                    b->insert_many(ids, keys);
                }
            }
        } else if (op < 9) {  // remove one
            auto it = std::next(values.begin(), source.below(static_cast<uint32_t>(values.size())));
            for (NumericalBitmap* b : {&switching, &small, &large}) b->remove(it->first, key_of(it->second));
            values.erase(it);
        } else {  // narrow to about two thirds
            Bitmap keep;
            for (auto it = values.begin(); it != values.end();) {
                if (source.below(3) != 0) {
                    keep.add(it->first);
                    ++it;
                } else {
                    it = values.erase(it);
                }
            }
            for (NumericalBitmap* b : {&switching, &small, &large}) b->retain(keep);
        }
        EXPECT_TRUE(small.is_small());
        EXPECT_FALSE(large.is_small());
        if (switching.is_small() && values.size() >= 3) saw_small_with_ids = true;
        std::vector<Num> probes(pool.begin(), pool.begin() + 4);
        probes.push_back(source.number());
        expect_searches(switching, values, probes, "switching");
        expect_searches(small, values, probes, "small");
        expect_searches(large, values, probes, "large");
    }
    EXPECT_TRUE(saw_small_with_ids);
    EXPECT_FALSE(switching.is_small());  // 40 ids were drawn from: the limit of 6 was passed
}


// --- ranges over both signs -------------------------------------------------

// Checks get_between_into_base against the model for every pair of probes
// (low <= high), with all ids and with every third one as candidates.
void expect_betweens(const NumericalBitmap& bits, const std::map<uint32_t, Num>& values,
                     const std::vector<Num>& probes, const char* where) {
    Bitmap all;
    Bitmap some;
    uint32_t k = 0;
    for (const auto& [id, n] : values) {
        all.add(id);
        if (k++ % 3 == 0) some.add(id);
    }
    for (const Num& low : probes) {
        for (const Num& high : probes) {
            if (exact_compare(low, high) > 0) continue;
            for (const Bitmap* candidates : {&all, &some}) {
                Bitmap want;
                for (const auto& [id, n] : values) {
                    if (candidates->contains(id) && exact_compare(n, low) >= 0 && exact_compare(n, high) <= 0) {
                        want.add(id);
                    }
                }
                Bitmap got;
                bits.get_between_into_base(key_of(low), key_of(high), got, *candidates);
                ASSERT_TRUE(got == want) << where << ": got " << got.cardinality() << " want " << want.cardinality();
            }
        }
    }
}

// Values crowded around zero on both sides (many buckets of each sign), with
// the extremes of both kinds now and then.
Num signed_number(NumberSource& source) {
    switch (source.below(6)) {
        case 0:
            return source.number();
        case 1:
            return float_num(source.below(2) ? -0.0 : 0.0);
        case 2:
            return float_num((static_cast<double>(source.below(20001)) - 10000.0) / 997.0);
        default:
            return int_num(static_cast<int64_t>(source.below(1201)) - 600);
    }
}

std::vector<Num> signed_probes(NumberSource& source) {
    std::vector<Num> probes{int_num(0), float_num(-0.0), int_num(-1), int_num(1), float_num(-0.5),
                            float_num(0.5), int_num(-300), int_num(255), int_num(256), float_num(-7.25),
                            int_num(std::numeric_limits<int64_t>::min()), float_num(std::numeric_limits<double>::infinity())};
    for (int i = 0; i < 10; ++i) probes.push_back(signed_number(source));
    return probes;
}

// Every range over keys of both signs answers like the model through each
// kind of change: the switch from pairs to slices, waiting removals and moves
// settled in a batch, narrowing, and merging in another structure's ids.
TEST(NumericalBitmap, SignedRangesMatchBruteForceThroughChanges) {
    NumberSource source(23);
    NumericalBitmap bits(64);
    std::map<uint32_t, Num> values;
    for (uint32_t i = 1; i <= 5000; ++i) {
        const uint32_t id = i * 7 + (i % 4) * 65536;
        const Num n = signed_number(source);
        if (i % 3 == 0) {
            bits.push(id, key_of(n));
        } else {
            bits.insert(id, key_of(n));
        }
        values[id] = n;
    }
    bits.flush();
    ASSERT_FALSE(bits.is_small());
    ASSERT_TRUE(bits.bucket_table().active());
    expect_searches(bits, values, signed_probes(source), "inserted");
    expect_betweens(bits, values, signed_probes(source), "inserted");

    // A batch of waiting removals and moves (across zero among them).
    std::vector<uint32_t> ids;
    for (const auto& [id, n] : values) ids.push_back(id);
    for (size_t j = 0; j < ids.size(); j += 5) {
        bits.remove_soon(ids[j], key_of(values.at(ids[j])));
        values.erase(ids[j]);
    }
    for (size_t j = 2; j < ids.size(); j += 5) {
        Num moved = values.at(ids[j]);
        moved = moved.is_int ? int_num(moved.i == std::numeric_limits<int64_t>::min() ? 1 : -moved.i)
                             : float_num(-moved.d);
        bits.replace_soon(ids[j], key_of(values.at(ids[j])), key_of(moved));
        values[ids[j]] = moved;
    }
    bits.settle_removals();
    expect_searches(bits, values, signed_probes(source), "settled");
    expect_betweens(bits, values, signed_probes(source), "settled");

    // Narrowing to the ids of one residue: bounds stay wider than the keys left.
    Bitmap keep;
    for (auto it = values.begin(); it != values.end();) {
        if (it->first % 3 != 0) {
            keep.add(it->first);
            ++it;
        } else {
            it = values.erase(it);
        }
    }
    bits.retain(keep);
    expect_searches(bits, values, signed_probes(source), "retained");
    expect_betweens(bits, values, signed_probes(source), "retained");

    // Merging in ids of another structure, some with keys in buckets new here.
    NumericalBitmap other(0);
    Bitmap objects;
    for (uint32_t i = 1; i <= 800; ++i) {
        const uint32_t id = 3000000 + i;
        const Num n = i % 2 ? signed_number(source) : float_num(-1e-300 * i);
        other.insert(id, key_of(n));
        if (i % 4 != 0) {
            objects.add(id);
            values[id] = n;
        }
    }
    bits.merge_from(other, objects);
    expect_searches(bits, values, signed_probes(source), "merged");
    expect_betweens(bits, values, signed_probes(source), "merged");
}

// With keys spread too thin for the buckets, the table of buckets is dropped
// and ranges of either sign are walked on the slices alone.
TEST(NumericalBitmap, SignedRangesMatchBruteForceWithoutBuckets) {
    NumberSource source(31);
    NumericalBitmap bits(0);
    std::map<uint32_t, Num> values;
    for (uint32_t id = 1; id <= 40000; ++id) {
        const Num n = id % 2 ? float_num(std::bit_cast<double>(uint64_t{source.below(UINT32_MAX)} << 31 |
                                                                 uint64_t{id % 7 == 0} << 63))
                             : signed_number(source);
        if (!n.is_int && std::isnan(n.d)) continue;
        bits.insert(id, key_of(n));
        values[id] = n;
    }
    ASSERT_FALSE(bits.bucket_table().active());
    const std::vector<Num> probes = signed_probes(source);
    expect_searches(bits, values, std::vector<Num>(probes.begin(), probes.begin() + 6), "no buckets");
    expect_betweens(bits, values, std::vector<Num>(probes.begin(), probes.begin() + 6), "no buckets");
}

// merge_from in every pairing of forms: the result holds this side's ids plus
// those of `other` in `objects`, whatever form each side has.
TEST(NumericalBitmap, MergeBetweenForms) {
    struct Case {
        size_t mine_limit, theirs_limit;
        bool small_after;
    };
    // mine small / theirs small; small / large (fits: keys read back; does not
    // fit); large / small; large / large.
    const Case cases[] = {{64, 64, true}, {64, 0, true}, {6, 0, false}, {0, 64, false}, {0, 0, false}};
    for (const Case& c : cases) {
        NumericalBitmap mine(c.mine_limit);
        NumericalBitmap theirs(c.theirs_limit);
        std::map<uint32_t, Num> want;
        for (uint32_t i = 0; i < 4; ++i) {
            const Num n = i % 2 ? int_num(-static_cast<int64_t>(i)) : float_num(i * 1.5);
            mine.insert(spread_id(i), key_of(n));
            want[spread_id(i)] = n;
        }
        Bitmap objects;
        for (uint32_t i = 10; i < 18; ++i) {
            const Num n = i % 3 ? int_num(static_cast<int64_t>(i) * 1000003) : float_num(-0.0 - i);
            theirs.insert(spread_id(i), key_of(n));
            if (i % 2 == 0) {  // 4 of the 8 are taken over
                objects.add(spread_id(i));
                want[spread_id(i)] = n;
            }
        }
        objects.add(spread_id(3));  // already here: stays as it is
        mine.merge_from(theirs, objects);
        EXPECT_EQ(mine.is_small(), c.small_after) << c.mine_limit << " " << c.theirs_limit;
        std::vector<Num> probes{int_num(0), int_num(-1), float_num(15.0), int_num(12000036)};
        for (const auto& [id, n] : want) probes.push_back(n);
        expect_searches(mine, want, probes, "merge");
    }
}

// --- keys clustered in their top bits ---------------------------------------

using KeyModel = std::map<uint32_t, OrderKey>;

// Checks equality (one key and several), the four ranges and betweens of every
// pair of probes against the model, with all ids and with every third one as
// candidates (the never-entered id 3 among both).
void expect_key_searches(const NumericalBitmap& bits, const KeyModel& values, const std::vector<OrderKey>& probes,
                         const char* where) {
    Bitmap all{3};
    Bitmap some{3};
    uint32_t k = 0;
    for (const auto& [id, key] : values) {
        all.add(id);
        if (k++ % 3 == 0) some.add(id);
    }
    constexpr uint32_t kMarker = 4000000000U;
    const auto expected = [&](const Bitmap& candidates, auto keep) {
        Bitmap out;
        for (const auto& [id, key] : values) {
            if (candidates.contains(id) && keep(key)) out.add(id);
        }
        return out;
    };
    for (const Bitmap* candidates : {&all, &some}) {
        for (const OrderKey& probe : probes) {
            ASSERT_TRUE(bits.get_eq(probe, candidates) == expected(*candidates, [&](const OrderKey& x) {
                            return x == probe;
                        })) << where << ": eq";
            const auto gt = [&](const OrderKey& x) { return x > probe; };
            const auto ge = [&](const OrderKey& x) { return x >= probe; };
            const auto lt = [&](const OrderKey& x) { return x < probe; };
            const auto le = [&](const OrderKey& x) { return x <= probe; };
            Bitmap want[4] = {expected(*candidates, gt), expected(*candidates, ge), expected(*candidates, lt),
                              expected(*candidates, le)};
            void (NumericalBitmap::*ranges[])(const OrderKey&, Bitmap&, const Bitmap&) const = {
                &NumericalBitmap::get_gt_into_base, &NumericalBitmap::get_gte_into_base,
                &NumericalBitmap::get_lt_into_base, &NumericalBitmap::get_lte_into_base};
            for (size_t r = 0; r < 4; ++r) {
                Bitmap base{kMarker};
                (bits.*ranges[r])(probe, base, *candidates);
                want[r].add(kMarker);
                ASSERT_TRUE(base == want[r]) << where << ": range " << r << " got " << base.cardinality()
                                             << " want " << want[r].cardinality();
            }
        }
        for (const OrderKey& low : probes) {
            for (const OrderKey& high : probes) {
                if (high < low) continue;
                Bitmap got;
                bits.get_between_into_base(low, high, got, *candidates);
                ASSERT_TRUE(got == expected(*candidates, [&](const OrderKey& x) { return low <= x && x <= high; }))
                    << where << ": between";
            }
        }
        const std::vector<OrderKey> several(probes.begin(), probes.begin() + std::min<size_t>(probes.size(), 5));
        ASSERT_TRUE(bits.get_eq_any(several, candidates) == expected(*candidates, [&](const OrderKey& x) {
                        return std::find(several.begin(), several.end(), x) != several.end();
                    })) << where << ": eq any";
    }
}

constexpr int64_t kMinuteMicros = 60'000'000;
// 2013-01-01 in microseconds since 1970.
constexpr int64_t kYear2013Micros = int64_t{15706} * 86400 * 1'000'000;

OrderKey naive_time(int64_t micros) { return time_order_key(TimeKind::DateTime, micros); }

// Probes: keys entered (and their neighbours), keys between them, and keys
// outside every bit the entered keys share: other kinds, numbers, the ends of
// the key space.
std::vector<OrderKey> clustered_probes(const KeyModel& values, NumberSource& source, int64_t base, int64_t span) {
    std::vector<OrderKey> probes;
    std::vector<OrderKey> entered;
    for (const auto& [id, key] : values) entered.push_back(key);
    for (int i = 0; i < 8 && !entered.empty(); ++i) {
        const OrderKey key = entered[source.below(static_cast<uint32_t>(entered.size()))];
        probes.push_back(key);
        if (i % 2 == 0) probes.push_back(*next_key(key));
        if (i % 3 == 0) probes.push_back(*previous_key(key));
    }
    for (int i = 0; i < 4; ++i) probes.push_back(naive_time(base + span / 4 * i + source.below(1000)));
    probes.push_back(naive_time(base - span));
    probes.push_back(naive_time(base + 40 * span));
    probes.push_back(naive_time(-kTimeOrdinalLimit));
    probes.push_back(naive_time(kTimeOrdinalLimit - 1));
    probes.push_back(time_order_key(TimeKind::Date, 15706));
    probes.push_back(time_order_key(TimeKind::Delta, base));
    probes.push_back(int_order_key(base));
    probes.push_back(int_order_key(-1));
    probes.push_back(kPositiveInfinityKey);
    probes.push_back(OrderKey{0xFFF, ~uint64_t{0}});
    probes.push_back(OrderKey{0, 0});
    return probes;
}

// Naive datetimes on the minute: first within one day, then over a year, then
// moved decades away and to numbers. Each spread of keys takes buckets below
// the bits the keys share (never as coarse as the head's), and every step that
// spreads them further merges the buckets: searches match the model before and
// after, whichever way the keys came in.
TEST(NumericalBitmap, ClusteredTimesMatchBruteForceAsBucketsWiden) {
    NumberSource source(41);
    NumericalBitmap bits(64);
    KeyModel values;
    const int64_t day = 24 * 60 * kMinuteMicros;
    uint32_t next_id = 1;
    for (int i = 0; i < 3000; ++i) {
        const uint32_t id = next_id++ * 3;
        const OrderKey key = naive_time(kYear2013Micros + kMinuteMicros * source.below(24 * 60));
        bits.insert(id, key);
        values[id] = key;
    }
    ASSERT_FALSE(bits.is_small());
    ASSERT_TRUE(bits.bucket_table().active());
    const size_t one_day = bits.bucket_low_bit();
    EXPECT_LT(one_day, NumericalBitmap::kMaxBucketLowBit);
    EXPECT_GT(bits.bucket_table().value_count(), 256U);  // one bucket before: the keys' top 20 bits are alike
    expect_key_searches(bits, values, clustered_probes(values, source, kYear2013Micros, day), "one day");

    // A year of minutes, pushed and inserted in groups: the buckets merge.
    std::vector<uint32_t> ids;
    std::vector<OrderKey> keys;
    for (int i = 0; i < 6000; ++i) {
        const uint32_t id = next_id++ * 3;
        const OrderKey key = naive_time(kYear2013Micros + kMinuteMicros * source.below(365 * 24 * 60));
        values[id] = key;
        if (i < 2000) {
            bits.push(id, key);
        } else {
            ids.push_back(id);
            keys.push_back(key);
        }
    }
    bits.flush();
    bits.insert_many(ids, keys);
    const size_t one_year = bits.bucket_low_bit();
    EXPECT_GT(one_year, one_day);
    EXPECT_LT(one_year, NumericalBitmap::kMaxBucketLowBit);
    ASSERT_TRUE(bits.bucket_table().active());
    EXPECT_LE(bits.bucket_table().value_count(), size_t{1} << NumericalBitmap::kBucketSpread);
    expect_key_searches(bits, values, clustered_probes(values, source, kYear2013Micros, 365 * day), "one year");

    // Waiting removals and moves, some of them decades away: the move's key
    // widens the buckets before the batch is settled.
    std::vector<uint32_t> all_ids;
    for (const auto& [id, key] : values) all_ids.push_back(id);
    for (size_t j = 0; j < all_ids.size(); j += 7) {
        bits.remove_soon(all_ids[j], values.at(all_ids[j]));
        values.erase(all_ids[j]);
    }
    for (size_t j = 3; j < all_ids.size(); j += 7) {
        const OrderKey moved = naive_time(kYear2013Micros + (j % 2 ? 30 : -30) * 365 * day + static_cast<int64_t>(j));
        bits.replace_soon(all_ids[j], values.at(all_ids[j]), moved);
        values[all_ids[j]] = moved;
    }
    bits.settle_removals();
    EXPECT_GT(bits.bucket_low_bit(), one_year);
    expect_key_searches(bits, values, clustered_probes(values, source, kYear2013Micros, 365 * day), "moved");

    // One by one: a move within the year, a removal, and a number among the times.
    const uint32_t moved_id = all_ids[1];
    bits.replace(moved_id, values.at(moved_id), naive_time(kYear2013Micros + 5 * kMinuteMicros));
    values[moved_id] = naive_time(kYear2013Micros + 5 * kMinuteMicros);
    bits.remove(all_ids[2], values.at(all_ids[2]));
    values.erase(all_ids[2]);
    bits.insert(1, int_order_key(-7));
    values[1] = int_order_key(-7);
    EXPECT_EQ(bits.bucket_low_bit(), NumericalBitmap::kMaxBucketLowBit);
    ASSERT_TRUE(bits.bucket_table().active());
    expect_key_searches(bits, values, clustered_probes(values, source, kYear2013Micros, 365 * day), "with a number");

    Bitmap keep;
    for (auto it = values.begin(); it != values.end();) {
        if (it->first % 2 == 0) {
            keep.add(it->first);
            ++it;
        } else {
            it = values.erase(it);
        }
    }
    bits.retain(keep);
    expect_key_searches(bits, values, clustered_probes(values, source, kYear2013Micros, 365 * day), "retained");
}

// A structure with slices from its first key widens its buckets key by key as
// the keys spread (epoch microseconds as plain ints, each further from the
// first than the last): every widening keeps the searches exact.
TEST(NumericalBitmap, BucketsWidenKeyByKeyFromTheFirst) {
    NumberSource source(43);
    NumericalBitmap bits(0);
    KeyModel values;
    const int64_t base = 1'356'998'400'000'000;  // 2013 in microseconds, as an int
    size_t low = 0;
    for (uint32_t i = 0; i < 4000; ++i) {
        const int shift = static_cast<int>(i / 100);  // 0 .. 39
        const auto offset = static_cast<int64_t>(source.below(1U << std::min(shift, 31))) << std::max(shift - 31, 0);
        bits.insert(i + 10, int_order_key(base + offset));
        values[i + 10] = int_order_key(base + offset);
        EXPECT_GE(bits.bucket_low_bit(), low);  // never narrower
        low = bits.bucket_low_bit();
        if (i % 500 == 499) expect_key_searches(bits, values, clustered_probes(values, source, base, 1), "growing");
    }
    ASSERT_TRUE(bits.bucket_table().active());
    EXPECT_LT(low, NumericalBitmap::kMaxBucketLowBit);
}

// Merging structures whose buckets sit at different bits: the result takes
// buckets as wide as the wider side's (or wider, for keys apart), whichever
// side is the wider, and answers like the model.
TEST(NumericalBitmap, MergeBetweenBucketWidths) {
    NumberSource source(47);
    const int64_t hour = 60 * kMinuteMicros;
    const int64_t year = 365 * 24 * hour;
    struct Case {
        int64_t mine_span, theirs_span, theirs_offset;
    };
    const Case cases[] = {{hour, year, 0}, {year, hour, 0}, {hour, hour, 50 * year}, {year, year, 0}};
    for (const Case& c : cases) {
        NumericalBitmap mine(16);
        NumericalBitmap theirs(16);
        KeyModel values;
        for (uint32_t i = 0; i < 1500; ++i) {
            const OrderKey key = naive_time(kYear2013Micros + static_cast<int64_t>(source.below(1U << 30)) %
                                                                  c.mine_span);
            mine.insert(i * 5, key);
            values[i * 5] = key;
        }
        Bitmap objects;
        for (uint32_t i = 0; i < 1500; ++i) {
            const uint32_t id = 100000 + i * 3;
            const OrderKey key = naive_time(kYear2013Micros + c.theirs_offset +
                                            static_cast<int64_t>(source.below(1U << 30)) % c.theirs_span);
            theirs.insert(id, key);
            if (i % 3 != 0) {
                objects.add(id);
                values[id] = key;
            }
        }
        const size_t wider = std::max(mine.bucket_low_bit(), theirs.bucket_low_bit());
        mine.merge_from(theirs, objects);
        EXPECT_GE(mine.bucket_low_bit(), wider);
        ASSERT_TRUE(mine.bucket_table().active());
        expect_key_searches(mine, values, clustered_probes(values, source, kYear2013Micros, c.mine_span), "merged");
    }
}

}  // namespace
}  // namespace vorlane

namespace vorlane {
namespace {

// A one-sided range with far more buckets on its side than on the other is
// found as the keyed ids less the other side: it must answer as the model
// does at probes near either end, on either side of zero, and with ids
// removed (their buckets stay occupied) and ids never keyed among the candidates.
TEST(NumericalBitmap, WideSignedRangesFromTheOtherSideMatchBruteForce) {
    NumericalBitmap bits(0);
    std::map<uint32_t, Num> values;
    uint32_t id = 10;
    for (int64_t v = -3000; v <= 3000; v += 1) {
        bits.insert(id, key_of(v % 7 == 0 ? float_num(static_cast<double>(v) + 0.5) : int_num(v)));
        values[id] = v % 7 == 0 ? float_num(static_cast<double>(v) + 0.5) : int_num(v);
        id += 3;
    }
    ASSERT_TRUE(bits.bucket_table().active());
    const std::vector<Num> probes{int_num(-2990), float_num(-2989.5), int_num(2990), float_num(2995.5),
                                  int_num(-3000), int_num(3000), int_num(-1), float_num(-0.0), int_num(-250)};
    expect_searches(bits, values, probes, "all");
    for (auto it = values.begin(); it != values.end();) {
        if (it->first % 5 == 0) {
            bits.remove(it->first, key_of(it->second));
            it = values.erase(it);
        } else {
            ++it;
        }
    }
    expect_searches(bits, values, probes, "removed");
}

// Keys that repeat enter the key table key by key; equality must match keys
// inserted one at a time, in ascending and shuffled id order, across batches
// that add keys until the table drops.
TEST(NumericalBitmap, RepeatedKeysEnterLikeSingleInserts) {
    std::mt19937 rng(5);
    for (const bool shuffled : {false, true}) {
        NumericalBitmap many;
        NumericalBitmap single;
        std::map<uint32_t, int64_t> values;
        uint32_t next = 1;
        for (int round = 0; round < 40; ++round) {
            // Early rounds: 100 ages; later ones add many new values, a few ids each.
            const int64_t spread = round < 5 ? 100 : 100000;
            std::vector<uint32_t> ids;
            std::vector<int64_t> nums;
            for (int i = 0; i < 5000; ++i) {
                ids.push_back(next++);
                nums.push_back(static_cast<int64_t>(rng() % spread) - spread / 2);
            }
            if (shuffled) {
                std::vector<size_t> order(ids.size());
                for (size_t k = 0; k < order.size(); ++k) order[k] = k;
                std::shuffle(order.begin(), order.end(), rng);
                std::vector<uint32_t> ids2;
                std::vector<int64_t> nums2;
                for (size_t k : order) {
                    ids2.push_back(ids[k]);
                    nums2.push_back(nums[k]);
                }
                ids.swap(ids2);
                nums.swap(nums2);
                // insert_many takes ascending ids: sorted by id, keys follow.
                std::vector<std::pair<uint32_t, int64_t>> pairs;
                for (size_t k = 0; k < ids.size(); ++k) pairs.emplace_back(ids[k], nums[k]);
                std::sort(pairs.begin(), pairs.end());
                for (size_t k = 0; k < pairs.size(); ++k) ids[k] = pairs[k].first, nums[k] = pairs[k].second;
            }
            std::vector<OrderKey> keys;
            for (size_t k = 0; k < ids.size(); ++k) {
                keys.push_back(int_order_key(nums[k]));
                values[ids[k]] = nums[k];
                single.insert(ids[k], keys.back());
            }
            many.insert_many(ids, keys);
            ASSERT_EQ(many.key_table().active(), single.key_table().active()) << round;
            if (round % 8 == 0 || round == 39) {
                for (int64_t probe : {int64_t{-50}, int64_t{0}, int64_t{49}, int64_t{1234}, int64_t{-40000}}) {
                    Bitmap expected;
                    for (const auto& [id, n] : values) {
                        if (n == probe) expected.add(id);
                    }
                    ASSERT_TRUE(many.get_eq(int_order_key(probe)) == expected) << round << " " << probe;
                    ASSERT_TRUE(single.get_eq(int_order_key(probe)) == expected) << round << " " << probe;
                }
            }
        }
        EXPECT_FALSE(many.key_table().active());
    }
}

// Insertions wait with removals and writes: a random run of them, settled now
// and then, answers every search as the model does; an id that arrives and
// leaves before the batch is settled leaves nothing behind, and an immediate
// insertion settles what waits first.
TEST(NumericalBitmap, InsertionsWaitLikeWrites) {
    std::mt19937 rng(77);
    for (const size_t small_limit : {size_t{0}, size_t{8}}) {
        NumericalBitmap bits(small_limit);
        std::map<uint32_t, Num> values;
        const auto random_num = [&] {
            return rng() % 3 == 0 ? float_num(static_cast<double>(static_cast<int>(rng() % 2001) - 1000) / 8.0)
                                  : int_num(static_cast<int64_t>(rng() % 200) - 100);
        };
        uint32_t next = 1;
        for (int step = 0; step < 6000; ++step) {
            const uint32_t op = rng() % 12;
            if (op < 6 || values.empty()) {
                const uint32_t id = op == 0 ? next + 70000 * (rng() % 3) : next;
                ++next;
                if (values.count(id) != 0) continue;
                const Num n = random_num();
                if (op == 1) {
                    bits.insert(id, key_of(n));
                } else {
                    bits.insert_soon(id, key_of(n));
                }
                values[id] = n;
            } else {
                auto it = values.begin();
                std::advance(it, static_cast<long>(rng() % values.size()));
                if (op < 9) {
                    bits.remove_soon(it->first, key_of(it->second));
                    values.erase(it);
                } else {
                    const Num n = random_num();
                    bits.replace_soon(it->first, key_of(it->second), key_of(n));
                    it->second = n;
                }
            }
            if (step % 997 == 996 || step == 5999) {
                bits.settle_removals();
                expect_searches(bits, values, {int_num(-100), int_num(0), int_num(57), float_num(-3.125), float_num(99.5)},
                                "waiting insertions");
            }
        }
    }
}

}  // namespace
}  // namespace vorlane

namespace vorlane {
namespace {

// Ranges among a narrow set of candidates (a few percent of the ids, spread
// over many chunks, with ids that have no key among them) are split on
// several slices in one pass: every search and every range between two keys
// must answer as the model does, with keys of few values (ages), with
// fractions of both signs, and after removals have left buckets occupied.
TEST(NumericalBitmap, SparseCandidatesMatchBruteForce) {
    for (const bool fractions : {false, true}) {
        NumericalBitmap bits(0);
        std::map<uint32_t, Num> values;
        std::mt19937 rng(fractions ? 5 : 6);
        for (uint32_t id = 0; id < 400000; ++id) {
            if (id % 97 == 3) continue;  // never keyed
            const Num n = fractions ? float_num(static_cast<double>(static_cast<int>(rng() % 4001) - 2000) / 16.0)
                                    : int_num(static_cast<int64_t>(rng() % 100));
            bits.push(id, key_of(n));
            values[id] = n;
        }
        bits.flush();
        ASSERT_TRUE(bits.bucket_table().active());
        const std::vector<Num> probes =
            fractions ? std::vector<Num>{float_num(-125.0), float_num(-0.0), float_num(0.0625), float_num(37.5),
                                         float_num(124.9375), float_num(-3.03), int_num(-126), int_num(7)}
                      : std::vector<Num>{int_num(0), int_num(1), int_num(16), int_num(63), int_num(64), int_num(89),
                                         int_num(99), int_num(-1), int_num(100), float_num(89.5)};
        for (int round = 0; round < 2; ++round) {
            // 2% of the ids at random, the unkeyed ones included.
            Bitmap candidates;
            for (uint32_t id = 0; id < 400000; ++id) {
                if (rng() % 50 == 0) candidates.add(id);
            }
            const auto ask = [&](auto&& fn, auto&& want, const char* what) {
                Bitmap expected{4000000000U};
                for (const uint32_t id : candidates.to_vector()) {
                    const auto it = values.find(id);
                    if (it != values.end() && want(it->second)) expected.add(id);
                }
                Bitmap got{4000000000U};
                fn(got);
                ASSERT_TRUE(got == expected) << what << " fractions " << fractions << " round " << round << ": got "
                                             << got.cardinality() << " want " << expected.cardinality();
            };
            for (const Num& p : probes) {
                const OrderKey k = key_of(p);
                ask([&](Bitmap& b) { bits.get_gt_into_base(k, b, candidates); },
                    [&](const Num& n) { return exact_compare(n, p) > 0; }, "gt");
                ask([&](Bitmap& b) { bits.get_gte_into_base(k, b, candidates); },
                    [&](const Num& n) { return exact_compare(n, p) >= 0; }, "ge");
                ask([&](Bitmap& b) { bits.get_lt_into_base(k, b, candidates); },
                    [&](const Num& n) { return exact_compare(n, p) < 0; }, "lt");
                ask([&](Bitmap& b) { bits.get_lte_into_base(k, b, candidates); },
                    [&](const Num& n) { return exact_compare(n, p) <= 0; }, "le");
                for (const Num& q : probes) {
                    if (exact_compare(p, q) > 0) continue;
                    ask([&](Bitmap& b) { bits.get_between_into_base(k, key_of(q), b, candidates); },
                        [&](const Num& n) { return exact_compare(n, p) >= 0 && exact_compare(n, q) <= 0; }, "between");
                }
            }
            // Every key above the middle leaves in the second round.
            for (auto it = values.begin(); it != values.end();) {
                if (exact_compare(it->second, int_num(fractions ? 0 : 50)) > 0 && it->first % 3 != 0) {
                    bits.remove(it->first, key_of(it->second));
                    it = values.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorlane

// Range searches over values of either sign against the same searches over the
// same values shifted to be positive (x + 1000), on the bit-sliced numeric
// index over 1,000,000 ids: the printed ratio is signed / shifted, best of 15
// rounds each, measured in the same run. Then narrow ranges over clustered
// large keys (epoch microseconds within a year) against ranges with the same
// number of hits over small ints (ages 0..99).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string_view>
#include <cstdlib>
#include <vector>

#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using vorlane::Bitmap;
using vorlane::NumericalBitmap;
using vorlane::OrderKey;

constexpr uint32_t kIds = 1'000'000;
int kRounds = 15;
// Only the comparisons whose label contains this run (all when empty), as
// many rounds as asked: for profiling one search.
std::string_view only;

template <class Fn>
double best_ms(Fn&& fn) {
    double best = 1e300;
    for (int r = 0; r < kRounds; ++r) {
        const auto start = Clock::now();
        fn();
        const std::chrono::duration<double, std::milli> took = Clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

struct Built {
    NumericalBitmap bits;
    Bitmap all;
};

void build(Built& b, const std::vector<OrderKey>& keys) {
    for (uint32_t id = 0; id < keys.size(); ++id) b.bits.push(id + 1, keys[id]);
    b.bits.flush();
    b.all.add_range(1, static_cast<uint32_t>(keys.size()));
}

// A search: `op` is gt, ge, lt, le or bt (low..high).
struct Search {
    const char* op;
    OrderKey low;
    OrderKey high;
};

uint64_t run_search(const Built& b, const Search& s, double& ms) {
    uint64_t hits = 0;
    ms = best_ms([&] {
        Bitmap base;
        const std::string_view op = s.op;
        if (op == "gt") b.bits.get_gt_into_base(s.low, base, b.all);
        if (op == "ge") b.bits.get_gte_into_base(s.low, base, b.all);
        if (op == "lt") b.bits.get_lt_into_base(s.low, base, b.all);
        if (op == "le") b.bits.get_lte_into_base(s.low, base, b.all);
        if (op == "bt") b.bits.get_between_into_base(s.low, s.high, base, b.all);
        hits = base.cardinality();
    });
    return hits;
}

// `same_hits`: both searches must find as many ids (the same values, shifted).
void compare(const char* label, const Built& a, const Search& sa, const Built& b, const Search& sb,
             bool same_hits = true) {
    if (std::string_view(label).find(only) == std::string_view::npos) return;
    double ma = 0;
    double mb = 0;
    const char* side = std::getenv("SIDE");
    const uint64_t ha = side && *side == 'b' ? 0 : run_search(a, sa, ma);
    const uint64_t hb = side && *side == 'a' ? 0 : run_search(b, sb, mb);
    std::printf("%-34s %8.3f ms (%7llu) vs %8.3f ms (%7llu)  ratio %5.2f%s\n", label, ma,
                static_cast<unsigned long long>(ha), mb, static_cast<unsigned long long>(hb), ma / mb,
                !same_hits || ha == hb ? "" : "  HITS DIFFER");
}

OrderKey ik(int64_t v) { return vorlane::int_order_key(v); }
OrderKey fk(double v) { return *vorlane::float_order_key(v); }

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        only = argv[1];
        kRounds = std::atoi(argv[2]);
    }
    std::mt19937_64 rng(7);
    std::vector<OrderKey> ints(kIds);
    std::vector<OrderKey> ints_shifted(kIds);
    std::vector<OrderKey> floats(kIds);
    std::vector<OrderKey> floats_shifted(kIds);
    for (uint32_t i = 0; i < kIds; ++i) {
        const int64_t v = static_cast<int64_t>(rng() % 1001) - 500;
        ints[i] = ik(v);
        ints_shifted[i] = ik(v + 1000);
        double d = std::uniform_real_distribution<double>(-50.0, 50.0)(rng);
        if (rng() % 1000 == 0) d = rng() % 2 ? -0.0 : 0.0;
        floats[i] = fk(d);
        floats_shifted[i] = fk(d + 1000.0);
    }
    Built si, sis, sf, sfs;
    build(si, ints);
    build(sis, ints_shifted);
    build(sf, floats);
    build(sfs, floats_shifted);
    std::printf("NumericalBitmap, %u ids, best of %d rounds: signed vs shifted by 1000\n", kIds, kRounds);
    const auto both_int = [&](const char* label, const char* op, int64_t low, int64_t high) {
        compare(label, si, {op, ik(low), ik(high)}, sis, {op, ik(low + 1000), ik(high + 1000)});
    };
    const auto both_float = [&](const char* label, const char* op, double low, double high) {
        compare(label, sf, {op, fk(low), fk(high)}, sfs, {op, fk(low + 1000.0), fk(high + 1000.0)});
    };
    both_int("int le 0", "le", 0, 0);
    both_int("int lt 0", "lt", 0, 0);
    both_int("int gt 0", "gt", 0, 0);
    both_int("int ge 0", "ge", 0, 0);
    both_int("int bt -5 5", "bt", -5, 5);
    both_int("int lt -250", "lt", -250, 0);
    both_int("int ge 250", "ge", 250, 0);
    both_int("int gt -400", "gt", -400, 0);
    both_int("int le 400", "le", 400, 0);
    both_int("int bt -300 -100", "bt", -300, -100);
    both_int("int bt -20 300", "bt", -20, 300);
    both_float("float le 0", "le", 0.0, 0.0);
    both_float("float lt 0", "lt", 0.0, 0.0);
    both_float("float gt 0", "gt", 0.0, 0.0);
    both_float("float ge -0.0", "ge", -0.0, 0.0);
    both_float("float bt -5 5", "bt", -5.0, 5.0);
    both_float("float bt -0.5 0.5", "bt", -0.5, 0.5);
    both_float("float lt -25", "lt", -25.0, 0.0);
    both_float("float ge 25", "ge", 25.0, 0.0);
    both_float("float gt -40", "gt", -40.0, 0.0);
    both_float("float le 40", "le", 40.0, 0.0);
    both_float("float bt -30 -10", "bt", -30.0, -10.0);
    both_float("float bt -2 30", "bt", -2.0, 30.0);

    // Epoch microseconds within one year against ages: a day is about 1/365
    // of the ids, as one age is 1/100.
    constexpr int64_t kYearStart = 1'356'998'400'000'000;  // 2013-01-01
    constexpr int64_t kDay = 86'400'000'000;
    std::vector<OrderKey> stamps(kIds);
    std::vector<OrderKey> ages(kIds);
    for (uint32_t i = 0; i < kIds; ++i) {
        stamps[i] = ik(kYearStart + static_cast<int64_t>(rng() % (365 * kDay)));
        ages[i] = ik(static_cast<int64_t>(rng() % 100));
    }
    Built st, ag;
    build(st, stamps);
    build(ag, ages);
    std::printf("epoch microseconds in one year vs ages 0..99\n");
    const int64_t day = kYearStart + 200 * kDay;
    compare("stamp 3.65 days vs one age", st, {"bt", ik(day), ik(day + 365 * kDay / 100)}, ag,
            {"bt", ik(42), ik(42)}, false);
    compare("stamp 7.3 days vs two ages", st, {"bt", ik(day), ik(day + 2 * 365 * kDay / 100)}, ag,
            {"bt", ik(42), ik(43)}, false);
    compare("stamp gt 99% vs age gt 0", st, {"gt", ik(kYearStart + 365 * kDay / 100), ik(0)}, ag,
            {"gt", ik(0), ik(0)}, false);
    compare("stamp lt 10% vs age lt 10", st, {"lt", ik(kYearStart + 365 * kDay / 10), ik(0)}, ag,
            {"lt", ik(10), ik(0)}, false);
    return 0;
}

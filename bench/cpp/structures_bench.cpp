// Cost of one range search and one equality lookup on the bit-sliced numeric
// index over 1,000,000 ids, with few and with all-distinct values.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class Fn>
double best_ms(int rounds, Fn&& fn) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        fn();
        const std::chrono::duration<double, std::milli> took = Clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

void run(const char* label, uint32_t ids, const std::vector<int64_t>& values) {
    using vorlane::Bitmap;
    using vorlane::NumericalBitmap;
    NumericalBitmap bits;
    const auto build_start = Clock::now();
    for (uint32_t id = 0; id < ids; ++id) bits.push(id + 1, vorlane::int_order_key(values[id]));
    bits.flush();
    const std::chrono::duration<double, std::milli> build = Clock::now() - build_start;

    Bitmap all;
    for (uint32_t id = 1; id <= ids; ++id) all.add(id);
    std::vector<int64_t> sorted = values;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const vorlane::OrderKey median = vorlane::int_order_key(sorted[sorted.size() / 2]);

    uint64_t gt_count = 0;
    const double gt = best_ms(10, [&] {
        Bitmap base;
        bits.get_gt_into_base(median, base, all);
        gt_count = base.cardinality();
    });
    uint64_t eq_count = 0;
    const double eq = best_ms(10, [&] { eq_count = bits.get_eq(median).cardinality(); });
    std::printf("%-26s bulk build %7.1f ms | gt search %6.2f ms (%llu ids)", label,
                build.count(), gt, static_cast<unsigned long long>(gt_count));
    std::printf(" | eq lookup %6.2f ms (%llu ids)\n", eq,
                static_cast<unsigned long long>(eq_count));
}

}  // namespace

int main() {
    constexpr uint32_t kIds = 1'000'000;
    std::mt19937_64 rng(1);
    std::vector<int64_t> few(kIds);
    for (auto& v : few) v = static_cast<int64_t>(rng() % 100);
    std::vector<int64_t> distinct(kIds);
    for (uint32_t i = 0; i < kIds; ++i) {
        distinct[i] = static_cast<int64_t>(i) * 7919 - 3'000'000'000LL;
    }
    std::shuffle(distinct.begin(), distinct.end(), rng);
    std::printf("NumericalBitmap, %u ids, best of 10 rounds\n", kIds);
    run("100 distinct values", kIds, few);
    run("1,000,000 distinct values", kIds, distinct);
    return 0;
}

// Cost of summing the keys of 1,000,000 ids off the slices: all of them at
// once, and in 50 disjoint groups (in one pass, and group by group), for the
// benchmarks' ages (ints 0...99) and scores (floats in [0, 100)).
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace {

using vorlane::Bitmap;
using vorlane::NumericalBitmap;
using vorlane::OrderKey;

// The thread's CPU time in ms: on a shared machine, time spent waiting for a
// core does not count.
double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

template <class Fn>
double best_ms(int rounds, Fn&& fn) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const double start = cpu_ms();
        fn();
        best = std::min(best, cpu_ms() - start);
    }
    return best;
}

void run(const char* label, uint32_t ids, size_t group_count, OrderKey (*key)(std::mt19937_64&), uint64_t share = 1) {
    std::mt19937_64 rng(7);
    NumericalBitmap numbers;
    for (uint32_t id = 0; id < ids; ++id) numbers.push(id, key(rng));
    numbers.flush();
    Bitmap all;
    all.add_range(0, ids - 1);
    std::vector<std::vector<uint32_t>> members(group_count);
    // The groups split every id, or one id in `share` (a view).
    for (uint32_t id = 0; id < ids; ++id) {
        if (rng() % share == 0) members[rng() % group_count].push_back(id);
    }
    std::vector<Bitmap> groups;
    for (const auto& m : members) groups.emplace_back(std::span<const uint32_t>(m));

    uint64_t sink = 0;
    const double whole = best_ms(20, [&] { sink += numbers.head_totals(all).size(); });
    const double one_pass = best_ms(10, [&] { sink += numbers.head_totals_in_one_pass(groups).size(); });
    const double chosen = best_ms(10, [&] { sink += numbers.head_totals_of_groups(groups).size(); });
    const double one_by_one = best_ms(3, [&] {
        for (const Bitmap& g : groups) sink += numbers.head_totals(g).size();
    });
    std::printf("%-6s %u ids: all %6.3f ms | %zu groups: one pass %6.3f ms, one by one %7.3f ms, "
                "chosen %6.3f ms (%llu)\n",
                label, ids, whole, group_count, one_pass, one_by_one, chosen, static_cast<unsigned long long>(sink));
}

OrderKey age(std::mt19937_64& rng) { return vorlane::int_order_key(static_cast<int64_t>(rng() % 100)); }
OrderKey score(std::mt19937_64& rng) {
    return *vorlane::float_order_key(static_cast<double>(rng() >> 11) * 0x1p-53 * 100.0);
}

}  // namespace

int main(int argc, char** argv) {
    constexpr uint32_t kIds = 1'000'000;
    if (argc > 1) {
        // One case over and over, for a profiler: age|score, the number of groups, rounds.
        std::mt19937_64 rng(7);
        const bool ages = std::string_view(argv[1]) == "age";
        const size_t count = argc > 2 ? std::stoul(argv[2]) : 50;
        const int rounds = argc > 3 ? std::stoi(argv[3]) : 200;
        NumericalBitmap numbers;
        for (uint32_t id = 0; id < kIds; ++id) numbers.push(id, ages ? age(rng) : score(rng));
        numbers.flush();
        std::vector<std::vector<uint32_t>> members(count);
        for (uint32_t id = 0; id < kIds; ++id) members[rng() % count].push_back(id);
        std::vector<Bitmap> groups;
        for (const auto& m : members) groups.emplace_back(std::span<const uint32_t>(m));
        uint64_t sink = 0;
        const double ms = best_ms(rounds, [&] { sink += numbers.head_totals_in_one_pass(groups).size(); });
        std::printf("%s, %zu groups: %.3f ms (%llu)\n", argv[1], count, ms, static_cast<unsigned long long>(sink));
        return 0;
    }
    for (const size_t groups : {size_t{2}, size_t{5}, size_t{50}}) {
        run("age", kIds, groups, age);
        run("score", kIds, groups, score);
    }
    std::printf("a view of 2%% of the ids:\n");
    run("age", kIds, 50, age, 50);
    run("score", kIds, 50, score, 50);
    return 0;
}

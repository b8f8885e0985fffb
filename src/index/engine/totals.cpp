// The total of the numbers among a set's values of one attribute (container
// elements included): the number structure sums its keys head by head off the
// key bits (see NumericalBitmap::head_totals), and each head's sum is taken
// into one exact sum, rounded once when it is read.
#include <algorithm>
#include <cmath>

#include "index/engine/answers.hpp"
#include "index/engine/index.hpp"

namespace vorlane {

void NumberTotal::add_head(const HeadTotal& head) {
    if (head.count == 0) return;
    const bool negative = head.negative();
    const int field = (negative ? ~head.head : head.head) & 0x7FF;
    count += head.count;
    if (field == 0x7FF) {  // infinities (NaN has no key; the keys of times sit apart)
        special += negative ? -HUGE_VAL : HUGE_VAL;
        has_special = true;
        any_float = true;
        return;
    }
    // Each key is m * 2^(exponent - 1086) (subnormals count their exponent as 1).
    const int exponent = std::max(field, 1) - 1086;
    sum.add(head.magnitudes, exponent, negative);
    if (exponent >= 0) {
        // 2^63 and beyond: only -2^63 itself is an int (a key of that head is
        // at least 2^63 in magnitude, so all are that one only when they sum to it).
        const bool all_min = negative && exponent == 0 &&
                             head.magnitudes == static_cast<unsigned __int128>(head.count) << 63;
        if (!all_min) any_float = true;
    } else if (exponent <= -64) {
        if (head.bits != 0) any_float = true;  // below 1 and not zero
    } else if ((head.bits & ((uint64_t{1} << -exponent) - 1)) != 0) {
        any_float = true;  // a bit below the ones' place
    }
}

void NumberTotal::add(const NumberTotal& other, uint64_t times) {
    if (times == 0 || other.count == 0) return;
    count += other.count * times;
    any_float = any_float || other.any_float;
    sum.add_multiple(other.sum, times);
    if (other.has_special) {
        special += other.special;  // an infinity taken any number of times is itself
        has_special = true;
    }
}

__int128 NumberTotal::int_sum() const {
    const std::optional<__int128> v = sum.to_int128();
    check(v.has_value(), "a sum of ints beyond 128 bits");
    return *v;
}

namespace {

// The ids of `candidates` whose values count: those keyed as numbers, when
// some key is a time's (times are keyed above +inf).
const Bitmap& numbers_among(const NumericalBitmap& numbers, const Bitmap& candidates, Bitmap& storage) {
    const auto bounds = numbers.key_bounds();
    if (!bounds || !is_time_key(bounds->second)) return candidates;
    storage = Bitmap();
    numbers.get_between_into_base(kNegativeInfinityKey, kPositiveInfinityKey, storage, candidates);
    return storage;
}

NumberTotal total_of(const std::vector<HeadTotal>& heads) {
    NumberTotal out;
    for (const HeadTotal& head : heads) out.add_head(head);
    return out;
}

}  // namespace

NumberTotal IndexAPI::total(uint32_t attr, const Bitmap* base) const {
    auto maps = index->read();
    Bitmap members;
    if (base == nullptr) {
        members = allowed_items->read()->clone();
        base = &members;
    }
    const QueryMap* map = maps->find(attr);
    if (map == nullptr) return NumberTotal{};
    Bitmap storage;
    const Bitmap& candidates = answers::with_elements(*map, *base, storage);
    auto numbers = map->read_num_ordered();
    Bitmap held;
    return total_of(numbers->head_totals(numbers_among(*numbers, candidates, held)));
}

std::vector<NumberTotal> IndexAPI::totals(const AttrPath& path, std::span<const Bitmap> groups) const {
    if (!path.dotted()) return totals(path.last(), groups);
    std::vector<NumberTotal> out;
    out.reserve(groups.size());
    for (const Bitmap& group : groups) out.push_back(total(path, &group));
    return out;
}

std::vector<NumberTotal> IndexAPI::totals(uint32_t attr, std::span<const Bitmap> groups) const {
    auto maps = index->read();
    const QueryMap* map = maps->find(attr);
    std::vector<NumberTotal> out(groups.size());
    if (map == nullptr || groups.empty()) return out;
    auto numbers = map->read_num_ordered();
    const auto bounds = numbers->key_bounds();
    std::vector<std::vector<HeadTotal>> heads;
    if (!map->has_elements() && (!bounds || !is_time_key(bounds->second))) {
        heads = numbers->head_totals_of_groups(groups);
    } else {
        // Each group with its containers' elements, and without ids keyed as times.
        std::vector<Bitmap> counted;
        counted.reserve(groups.size());
        for (const Bitmap& group : groups) {
            Bitmap storage;
            const Bitmap& with = answers::with_elements(*map, group, storage);
            Bitmap held;
            counted.push_back(numbers_among(*numbers, with, held).clone());
        }
        heads = numbers->head_totals_of_groups(counted);
    }
    for (size_t i = 0; i < heads.size(); ++i) out[i] = total_of(heads[i]);
    return out;
}

}  // namespace vorlane

// The total of the numbers among a set's values of one attribute (container
// elements included): the keys of the ids that hold numbers are read off the
// key bits at once, and summed exactly.
#include <cmath>

#include "index/engine/answers.hpp"
#include "index/engine/index.hpp"

namespace vorlane {

void NumberTotal::add_float(double x) {
    if (!std::isfinite(x)) {
        special += x;  // infinities alone: +inf and -inf make NaN, as Python's sum does
        has_special = true;
        return;
    }
    // Shewchuk's partials: the exact sum as non-overlapping doubles.
    size_t kept = 0;
    for (double y : partials) {
        if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
        const double hi = x + y;
        const double lo = y - (hi - x);
        if (lo != 0.0) partials[kept++] = lo;
        x = hi;
    }
    partials.resize(kept);
    partials.push_back(x);
}

void NumberTotal::add(const NumberTotal& other, uint64_t times) {
    if (times == 0 || other.count == 0) return;
    count += other.count * times;
    any_float = any_float || other.any_float;
    ints += other.ints * static_cast<__int128>(times);
    if (other.has_special) {
        special += other.special;  // an infinity taken any number of times is itself
        has_special = true;
    }
    // Each partial times `times` is the sum of two doubles, exactly (while the
    // product stays finite; past that the sum is infinite anyway).
    const double factor = static_cast<double>(times);
    for (const double p : other.partials) {
        const double hi = p * factor;
        add_float(hi);
        if (std::isfinite(hi)) add_float(std::fma(p, factor, -hi));
    }
}

double NumberTotal::float_sum() const {
    if (has_special) return special;
    std::vector<double> all = partials;
    NumberTotal with_ints;
    with_ints.partials = std::move(all);
    // The ints' exact sum, as two doubles whose sum it is.
    const double hi = static_cast<double>(ints);
    with_ints.add_float(hi);
    with_ints.add_float(static_cast<double>(ints - static_cast<__int128>(hi)));
    const std::vector<double>& p = with_ints.partials;
    // Rounded once, as math.fsum rounds: the top partials, then the half-way case.
    size_t n = p.size();
    if (n == 0) return 0.0;
    double hi_sum = p[--n];
    double lo = 0.0;
    while (n > 0) {
        const double x = hi_sum;
        const double y = p[--n];
        hi_sum = x + y;
        lo = y - (hi_sum - x);
        if (lo != 0.0) break;
    }
    if (n > 0 && ((lo < 0 && p[n - 1] < 0) || (lo > 0 && p[n - 1] > 0))) {
        const double y = lo * 2;
        const double x = hi_sum + y;
        if (y == x - hi_sum) hi_sum = x;
    }
    return hi_sum;
}

NumberTotal IndexAPI::total(uint32_t attr, const Bitmap* base) const {
    NumberTotal out;
    auto maps = index->read();
    Bitmap members;
    if (base == nullptr) {
        members = allowed_items->read()->clone();
        base = &members;
    }
    const QueryMap* map = maps->find(attr);
    if (map == nullptr) return out;
    Bitmap storage;
    const Bitmap& candidates = answers::with_elements(*map, *base, storage);
    auto numbers = map->read_num_ordered();
    const auto add = [&](const OrderKey& key) {
        const NumberValue n = number_of_key(key);
        ++out.count;
        if (n.form == NumberValue::Form::Int) {
            out.ints += n.integer;
        } else {
            out.any_float = true;
            out.add_float(n.real);
        }
    };
    if (numbers->is_small()) {
        numbers->for_each_small([&](uint32_t id, const OrderKey& key) {
            if (!is_time_key(key) && candidates.contains(id)) add(key);
        });
        return out;
    }
    Bitmap held;  // the candidates that hold a number (dates and times are keyed above +inf)
    numbers->get_between_into_base(kNegativeInfinityKey, kPositiveInfinityKey, held, candidates);
    const std::vector<uint32_t> ids = held.to_vector();
    for (const OrderKey& key : answers::keys_of(*numbers, ids)) add(key);
    return out;
}

}  // namespace vorlane

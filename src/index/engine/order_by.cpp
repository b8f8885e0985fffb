// Ordering: the objects of a set by their value of one attribute. Numbers
// first (ints and floats in one order), then dates, times and durations kind
// by kind, then strings by code point (their
// UTF-8 bytes compare alike), then every other object as the set lists it.
// Ties keep the set's order. A limit is served from the key bits: the work
// follows the limit, not the set.
#include <algorithm>

#include "index/engine/answers.hpp"
#include "index/engine/index.hpp"

namespace vorlane {

namespace {

// A full order of many keyed ids beats a walk per limit once the limit is a
// sizeable share of them.
constexpr size_t kWalkShare = 16;
// Limits up to this many are first tried on the whole set.
constexpr size_t kWalkLimit = 1024;

// (value, id) pairs in value order (reversed when descending), ties by id.
template <class Pair>
auto value_order(bool descending) {
    return [descending](const Pair& a, const Pair& b) {
        if (a.first != b.first) return descending ? b.first < a.first : a.first < b.first;
        return a.second < b.second;
    };
}

// Appends the ids of `numbers` (of `base`) in key order, up to `limit` of them.
// Returns the ids with a key in `base` (to be left out of the rest).
Bitmap order_numbers(const NumericalBitmap& numbers, const Bitmap& base, bool descending, size_t limit,
                     std::vector<uint32_t>& out) {
    const auto by_key = value_order<std::pair<OrderKey, uint32_t>>(descending);
    std::vector<std::pair<OrderKey, uint32_t>> keyed;
    if (numbers.is_small()) {
        std::vector<uint32_t> ids;
        numbers.for_each_small([&](uint32_t id, const OrderKey& key) {
            if (!base.contains(id)) return;
            keyed.emplace_back(key, id);
            ids.push_back(id);
        });
        std::sort(keyed.begin(), keyed.end(), by_key);
        for (size_t i = 0; i < keyed.size() && out.size() < limit; ++i) out.push_back(keyed[i].second);
        return Bitmap(std::span<const uint32_t>(ids));
    }
    const size_t room = limit - out.size();
    if (room == 0) return Bitmap();
    const auto append_top = [&](const std::vector<uint32_t>& top) {
        const std::vector<OrderKey> keys = answers::keys_of(numbers, top);
        for (size_t i = 0; i < top.size(); ++i) keyed.emplace_back(keys[i], top[i]);
        std::sort(keyed.begin(), keyed.end(), by_key);
        for (const auto& [key, id] : keyed) out.push_back(id);
    };
    if (room <= kWalkLimit) {
        // A short limit that the numbers fill: the rest of the set is never looked at.
        std::vector<uint32_t> top = answers::top_ids(numbers, base, room, descending);
        if (top.size() == room) {
            append_top(top);
            return Bitmap();
        }
    }
    Bitmap present = numbers.keyed_ids();
    present.and_inplace(base);
    const uint64_t count = present.cardinality();
    if (count == 0) return present;
    if (room < count && room * kWalkShare <= count) {
        append_top(answers::top_ids(numbers, present, room, descending));
        return present;
    }
    const auto& table = numbers.key_table();
    if (table.active()) {
        // Few keys: each key's ids in one go, keys in order.
        std::vector<std::pair<OrderKey, const HybridSet*>> groups;
        table.for_each_set([&](const OrderKey& key, const HybridSet& set) { groups.emplace_back(key, &set); });
        std::sort(groups.begin(), groups.end(), [&](const auto& a, const auto& b) {
            return descending ? b.first < a.first : a.first < b.first;
        });
        for (const auto& [key, set] : groups) {
            if (out.size() >= limit) break;
            const Bitmap ids = set->and_(&present);
            ids.for_each([&](uint32_t id) {
                if (out.size() < limit) out.push_back(id);
            });
        }
        return present;
    }
    const std::vector<uint32_t> ids = present.to_vector();
    const std::vector<OrderKey> keys = answers::keys_of(numbers, ids);
    keyed.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) keyed.emplace_back(keys[i], ids[i]);
    if (room < keyed.size()) {
        std::partial_sort(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(room), keyed.end(), by_key);
        keyed.resize(room);
    } else {
        std::sort(keyed.begin(), keyed.end(), by_key);
    }
    for (const auto& [key, id] : keyed) out.push_back(id);
    return present;
}

// Numbers, then each kind of date, time and duration: kinds keep their order
// when `descending` reverses the values.
Bitmap order_keyed(const NumericalBitmap& numbers, const Bitmap& base, bool descending, size_t limit,
                   std::vector<uint32_t>& out) {
    Bitmap placed;
    answers::for_each_kind_part(numbers, base, [&](const Bitmap& part) {
        placed.or_inplace(order_numbers(numbers, part, descending, limit, out));
        return out.size() < limit;
    });
    return placed;
}

using TextPairs = std::vector<std::pair<std::string_view, uint32_t>>;

void append_by_text(TextPairs& pairs, bool descending, size_t limit, std::vector<uint32_t>& out) {
    const auto by_text = value_order<std::pair<std::string_view, uint32_t>>(descending);
    const size_t room = limit - out.size();
    if (room < pairs.size()) {
        std::partial_sort(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(room), pairs.end(), by_text);
        pairs.resize(room);
    } else {
        std::sort(pairs.begin(), pairs.end(), by_text);
    }
    for (const auto& [text, id] : pairs) out.push_back(id);
}

}  // namespace

std::vector<uint32_t> IndexAPI::order_by(uint32_t attr, bool descending, size_t limit, const Bitmap* base) const {
    std::vector<uint32_t> out;
    Bitmap members;
    Bitmap placed;  // the ids ordered by a value so far
    // Strings the structures cannot list by id (past the table of strings)
    // are read from the objects once the core's locks are let go.
    Bitmap unlisted_strings;
    {
        auto maps = index->read();
        base = &set_or_members(base, members);
        const QueryMap* map = maps->find(attr);
        if (map != nullptr) {
            placed = order_keyed(*map->read_num_ordered(), *base, descending, limit, out);
            if (out.size() < limit) {
                auto strings = map->read_str_radix_map();
                Bitmap present = strings->every_string();
                present.or_inplace(strings->empty_strings());
                present.and_inplace(*base);
                placed.or_inplace(present);
                TextPairs pairs;
                if (strings->is_small()) {
                    strings->for_each_small([&](uint32_t id, std::string_view text) {
                        if (base->contains(id)) pairs.emplace_back(text, id);
                    });
                    strings->empty_strings().and_(*base).for_each([&](uint32_t id) { pairs.emplace_back("", id); });
                    append_by_text(pairs, descending, limit, out);
                } else if (!strings->uses_fingerprints()) {
                    // Each string's ids in one go, strings in order.
                    std::vector<std::pair<std::string_view, const HybridSet*>> groups;
                    strings->value_table().for_each_set(
                        [&](const std::string& text, const HybridSet& set) { groups.emplace_back(text, &set); });
                    std::sort(groups.begin(), groups.end(), [&](const auto& a, const auto& b) {
                        return descending ? b.first < a.first : a.first < b.first;
                    });
                    const Bitmap empty = strings->empty_strings().and_(*base);
                    const auto take = [&](const Bitmap& ids) {
                        ids.for_each([&](uint32_t id) {
                            if (out.size() < limit) out.push_back(id);
                        });
                    };
                    if (!descending) take(empty);
                    for (const auto& [text, set] : groups) {
                        if (out.size() >= limit) break;
                        take(set->and_(&present));
                    }
                    if (descending) take(empty);
                } else {
                    unlisted_strings = std::move(present);
                }
            }
        }
    }
    if (!unlisted_strings.is_empty()) {
        const auto values = answers::read_values(*this, unlisted_strings, attr);
        TextPairs pairs;
        pairs.reserve(values.size());
        // An object written meanwhile to another kind goes with the rest.
        placed.andnot_inplace(unlisted_strings);
        std::vector<uint32_t> listed;
        for (const auto& [id, value] : values) {
            if (const auto* text = value.as<cast::Str>()) {
                pairs.emplace_back(text->value.view(), id);
                listed.push_back(id);
            }
        }
        placed.or_inplace(Bitmap(std::span<const uint32_t>(listed)));
        append_by_text(pairs, descending, limit, out);
    }
    if (out.size() < limit) {
        Bitmap rest = base->andnot(placed);
        rest.for_each([&](uint32_t id) {
            if (out.size() < limit) out.push_back(id);
        });
    }
    return out;
}

}  // namespace vorlane

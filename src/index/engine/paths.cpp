// Answers along a dotted path: the values of its last attribute on the objects
// its steps lead to. The steps are followed through the links the queries use,
// forward from the set; each answer is then the one-attribute answer over the
// objects reached, mapped back to the set's objects: a value counts once per
// object of the set that reaches it, however many routes lead there.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "index/engine/answers.hpp"
#include "index/engine/index.hpp"

namespace vorlane {

namespace {

// Limits up to this many are first tried from the ordered keys of the last attribute.
constexpr size_t kWalkLimit = 1024;

// Where a value orders: its kind (numbers, each kind of date and time, then
// strings) and, within the kind, its key or text.
struct SortValue {
    uint8_t rank = 0;
    OrderKey key{};
    std::string text;
};
constexpr uint8_t kStringRank = 1 + kTimeKinds;

uint8_t rank_of(const OrderKey& key) {
    return is_time_key(key) ? static_cast<uint8_t>(1 + static_cast<int>(time_of_key(key).first)) : 0;
}

// Whether `a` comes before `b`: kinds in their order, values within a kind
// reversed when descending.
bool sorts_before(const SortValue& a, const SortValue& b, bool descending) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.rank == kStringRank) return descending ? b.text < a.text : a.text < b.text;
    return descending ? b.key < a.key : a.key < b.key;
}

// The link tables of a path's steps (every attribute but the last),
// read-locked; none when no object holds a step's attribute.
using LinksGuard = decltype(std::declval<const QueryMap&>().links.read(QueryMap::kMapPoisoned));
std::optional<std::vector<LinksGuard>> step_links(const ValueMaps& maps, const AttrPath& path) {
    std::vector<LinksGuard> steps;
    steps.reserve(path.steps.size());
    for (size_t i = 0; i + 1 < path.steps.size(); ++i) {
        const QueryMap* map = maps.find(path.steps[i]);
        if (map == nullptr) return std::nullopt;
        steps.push_back(map->links.read(QueryMap::kMapPoisoned));
    }
    return steps;
}

// The distinct stored objects the steps lead to from `from`, into `at`
// (`next` is scratch, kept by the caller across objects).
void walk_steps(const std::vector<LinksGuard>& steps, const Bitmap& stored, uint32_t from, std::vector<uint32_t>& at,
                std::vector<uint32_t>& next) {
    at.assign(1, from);
    for (const auto& links : steps) {
        next.clear();
        for (const uint32_t id : at) {
            links->for_each_held(id, [&](uint32_t nested) {
                if (stored.contains(nested)) next.push_back(nested);
            });
        }
        if (next.size() > 1) {
            std::sort(next.begin(), next.end());
            next.erase(std::unique(next.begin(), next.end()), next.end());
        }
        at.swap(next);
        if (at.empty()) return;
    }
}

// A short limit along a path whose last attribute holds numbers: the stored
// objects holding the first values are taken from the ordered keys (every
// object up to the value of the `take`-th, ties included), then the objects of
// `from` reaching them, through the links back. Each of those reaches its
// first value among the objects taken, and every other object of `from` comes
// after them; so once they are `limit` or more, they are the answer. Nothing
// when they are too few (or dates and times are held too): the caller orders
// the whole set.
std::optional<std::vector<uint32_t>> order_by_walk(const IndexAPI& core, const AttrPath& path, bool descending,
                                                   size_t limit, const Bitmap& from) {
    constexpr size_t kLargestTake = 1 << 16;
    auto maps = core.index->read();
    auto members = core.allowed_items->read();
    auto graph = core.graph->read();
    const Bitmap& stored = graph->stored;
    const QueryMap* leaf = maps->find(path.last());
    if (leaf == nullptr) return std::nullopt;
    auto numbers = leaf->read_num_ordered();
    const auto bounds = numbers->key_bounds();
    if (numbers->is_small() || !bounds || is_time_key(bounds->second)) return std::nullopt;
    for (size_t take = limit; take <= kLargestTake; take *= 8) {
        const std::vector<uint32_t> top = answers::top_ids(*numbers, stored, take, descending);
        if (top.size() < take) return std::nullopt;  // fewer numbers than that: order them all
        // The last value taken, and every object holding it or one before it.
        OrderKey edge = numbers->key_of(top.front());
        for (const uint32_t id : top) {
            const OrderKey key = numbers->key_of(id);
            if (descending ? key < edge : edge < key) edge = key;
        }
        Bitmap taken;
        if (descending) {
            numbers->get_gte_into_base(edge, taken, stored);
        } else {
            numbers->get_lte_into_base(edge, taken, stored);
        }
        // Back to the objects of `from` reaching them.
        Bitmap at = answers::back_along(*maps, path, taken.clone(), stored);
        at.and_inplace(from);
        at.and_inplace(*members);
        if (at.cardinality() < limit) continue;
        // Each one's first value among those taken, forward along the path.
        const std::vector<uint32_t> taken_ids = taken.to_vector();
        const std::vector<OrderKey> keys = answers::keys_of(*numbers, taken_ids);
        std::unordered_map<uint32_t, OrderKey> key_of;
        for (size_t i = 0; i < taken_ids.size(); ++i) key_of.emplace(taken_ids[i], keys[i]);
        const auto steps = step_links(*maps, path);
        if (!steps) return std::nullopt;
        std::vector<std::pair<OrderKey, uint32_t>> ordered;
        std::vector<uint32_t> here;
        std::vector<uint32_t> next;
        at.for_each([&](uint32_t object) {
            walk_steps(*steps, stored, object, here, next);
            std::optional<OrderKey> best;
            for (const uint32_t id : here) {
                const auto found = key_of.find(id);
                if (found == key_of.end()) continue;
                if (!best || (descending ? *best < found->second : found->second < *best)) best = found->second;
            }
            if (best) ordered.emplace_back(*best, object);
        });
        const auto by_value = [&](const auto& a, const auto& b) {
            if (a.first != b.first) return descending ? b.first < a.first : a.first < b.first;
            return a.second < b.second;
        };
        const size_t n = std::min(limit, ordered.size());
        std::partial_sort(ordered.begin(), ordered.begin() + static_cast<std::ptrdiff_t>(n), ordered.end(), by_value);
        std::vector<uint32_t> out;
        for (size_t i = 0; i < n; ++i) out.push_back(ordered[i].second);
        return out;
    }
    return std::nullopt;
}

}  // namespace

std::vector<CountedValue> answers::linked_counts(const IndexAPI& core, const AttrPath& path) {
    const Bitmap stored = core.graph->read()->stored.clone();
    std::vector<CountedValue> out = core.count_by(path.last(), &stored);
    auto maps = core.index->read();
    const QueryMap* step = maps->find(path.steps[0]);
    if (step == nullptr) return {};
    for (CountedValue& value : out) {
        const Bitmap objects = objects_holding(core, *maps, path.last(), value, stored);
        auto links = step->links.read(QueryMap::kMapPoisoned);
        value.count = 0;
        objects.for_each([&](uint32_t id) { value.count += links->links_to(id); });
    }
    std::erase_if(out, [](const CountedValue& value) { return value.count == 0; });
    std::sort(out.begin(), out.end(), count_before);
    return out;
}

Bitmap answers::back_along(const ValueMaps& maps, const AttrPath& path, Bitmap at, const Bitmap& stored) {
    for (size_t i = path.steps.size() - 1; i-- > 0;) {
        at.and_inplace(stored);  // objects on their way out keep their links a moment longer
        const QueryMap* step = maps.find(path.steps[i]);
        if (step == nullptr) return Bitmap();
        at = step->holders_of(at);
    }
    return at;
}

bool answers::members_link_once(const IndexAPI& core, const AttrPath& path, const Bitmap* base) {
    if (base != nullptr || path.steps.size() != 2) return false;
    auto maps = core.index->read();
    const QueryMap* step = maps->find(path.steps[0]);
    if (step == nullptr) return false;
    auto members = core.allowed_items->read();
    auto graph = core.graph->read();
    auto links = step->links.read(QueryMap::kMapPoisoned);
    if (!links->one_link_per_holder()) return false;
    bool others_hold = false;
    graph->stored.andnot(*members).for_each([&](uint32_t id) {
        others_hold = others_hold || links->holds_any(id);
    });
    return !others_hold;
}

namespace {

// The objects holding numbers of the path's last attribute, by how many
// members reach them, read off the links' list sizes when members_link_once
// holds and the attribute holds no containers. False otherwise.
bool linked_weights(const IndexAPI& core, const AttrPath& path, const Bitmap* base,
                    std::map<uint32_t, std::vector<uint32_t>>& by_times) {
    if (!answers::members_link_once(core, path, base)) return false;
    auto maps = core.index->read();
    const QueryMap* leaf = maps->find(path.last());
    const QueryMap* step = maps->find(path.steps[0]);
    if (leaf == nullptr || step == nullptr) return true;  // nothing is reached
    if (leaf->has_elements()) return false;
    Bitmap objects;
    {
        auto numbers = leaf->read_num_ordered();
        if (numbers->is_small()) {
            std::vector<uint32_t> ids;
            numbers->for_each_small([&](uint32_t id, const OrderKey&) { ids.push_back(id); });
            std::sort(ids.begin(), ids.end());
            objects.add_ascending(ids);
        } else {
            objects = numbers->keyed_ids();
        }
    }
    objects.and_inplace(core.graph->read()->stored);
    auto links = step->links.read(QueryMap::kMapPoisoned);
    objects.for_each([&](uint32_t id) {
        if (const size_t n = links->links_to(id); n != 0) by_times[static_cast<uint32_t>(n)].push_back(id);
    });
    return true;
}

}  // namespace

PathReach IndexAPI::reach(const AttrPath& path, const Bitmap& base, bool with_pairs) const {
    PathReach out;
    auto maps = index->read();
    auto graph = this->graph->read();
    const Bitmap& stored = graph->stored;
    const auto steps = step_links(*maps, path);
    if (!steps) return out;  // no object has a step's attribute: nothing is reached
    if (!with_pairs) {
        // Step by step over whole sets.
        Bitmap at = base.clone();
        for (const auto& links : *steps) {
            at = links->held_by(at);
            at.and_inplace(stored);  // objects on their way out keep their links a moment longer
        }
        out.objects = std::move(at);
        return out;
    }
    // Object by object: the distinct objects each one reaches. The objects
    // reached are marked in a table of flags by id (ids are dense).
    std::vector<uint8_t> seen(size_t{stored.maximum()} + 1, 0);
    std::vector<uint32_t> at;
    std::vector<uint32_t> next;
    base.for_each([&](uint32_t from) {
        walk_steps(*steps, stored, from, at, next);
        for (const uint32_t id : at) {
            out.pairs.emplace_back(from, id);
            seen[id] = 1;
        }
    });
    std::vector<uint32_t> reached;
    for (size_t id = 0; id < seen.size(); ++id) {
        if (seen[id] != 0) reached.push_back(static_cast<uint32_t>(id));
    }
    out.objects.add_ascending(reached);
    return out;
}

namespace {

// The smallest (largest) number of the path's last attribute on an object
// some member links to, when members_link_once holds: the objects holding the
// first numbers are taken from the ordered keys until one of them is linked
// to. Nothing when none is found that way (the caller reads what is reached).
std::optional<OrderKey> linked_extreme(const IndexAPI& core, const AttrPath& path, bool largest) {
    auto maps = core.index->read();
    auto graph = core.graph->read();
    const QueryMap* leaf = maps->find(path.last());
    const QueryMap* step = maps->find(path.steps[0]);
    if (leaf == nullptr || step == nullptr || leaf->has_elements()) return std::nullopt;
    auto numbers = leaf->read_num_ordered();
    const auto bounds = numbers->key_bounds();
    if (numbers->is_small() || !bounds || is_time_key(bounds->second)) return std::nullopt;
    auto links = step->links.read(QueryMap::kMapPoisoned);
    for (size_t take = 16; take <= (1 << 16); take *= 16) {
        const std::vector<uint32_t> top = answers::top_ids(*numbers, graph->stored, take, largest);
        std::optional<OrderKey> best;
        for (const uint32_t id : top) {
            if (links->links_to(id) == 0) continue;
            const OrderKey key = numbers->key_of(id);
            if (!best || (largest ? *best < key : key < *best)) best = key;
        }
        if (best || top.size() < take) return best;
    }
    return std::nullopt;
}

}  // namespace

std::optional<OrderKey> IndexAPI::extreme(const AttrPath& path, bool largest, const Bitmap* base) const {
    if (!path.dotted()) return extreme(path.last(), largest, base);
    if (answers::members_link_once(*this, path, base)) {
        if (auto found = linked_extreme(*this, path, largest)) return found;
    }
    Bitmap members;
    const PathReach reached = reach(path, set_or_members(base, members), false);
    return extreme(path.last(), largest, &reached.objects);
}

NumberTotal IndexAPI::total(const AttrPath& path, const Bitmap* base) const {
    if (!path.dotted()) return total(path.last(), base);
    // The objects reached, by how many of the set reach them: each group's
    // total counts that many times.
    std::map<uint32_t, std::vector<uint32_t>> by_times;
    if (!linked_weights(*this, path, base, by_times)) {
        Bitmap members;
        const PathReach reached = reach(path, set_or_members(base, members), true);
        if (reached.pairs.empty()) return NumberTotal{};
        std::vector<uint32_t> reaching(size_t{reached.objects.maximum()} + 1, 0);
        for (const auto& [from, object] : reached.pairs) ++reaching[object];
        reached.objects.for_each([&](uint32_t object) { by_times[reaching[object]].push_back(object); });
    }
    NumberTotal out;
    for (const auto& [times, objects] : by_times) {
        Bitmap ids;
        ids.add_ascending(objects);
        out.add(total(path.last(), &ids), times);
    }
    return out;
}

std::vector<CountedValue> IndexAPI::count_by(const AttrPath& path, const Bitmap* base) const {
    if (!path.dotted()) return count_by(path.last(), base);
    std::vector<CountedValue> out;
    if (answers::members_link_once(*this, path, base)) return answers::linked_counts(*this, path);
    for (auto& [value, ids] : groups(path, base)) out.push_back(std::move(value));
    return out;
}

std::vector<uint32_t> IndexAPI::order_by(const AttrPath& path, bool descending, size_t limit,
                                         const Bitmap* base) const {
    if (!path.dotted()) return order_by(path.last(), descending, limit, base);
    std::vector<uint32_t> out;
    if (limit == 0) return out;
    Bitmap members;
    const Bitmap& from = set_or_members(base, members);
    if (limit <= kWalkLimit) {
        if (auto walked = order_by_walk(*this, path, descending, limit, from)) return std::move(*walked);
    }
    const PathReach reached = reach(path, from, true);
    // The value each object reached orders by (numbers, dates and times by
    // key, strings by text); objects whose value orders nowhere are left out.
    std::unordered_map<uint32_t, SortValue> values;
    Bitmap unlisted_strings;
    {
        auto maps = index->read();
        const QueryMap* map = maps->find(path.last());
        if (map != nullptr) {
            auto numbers = map->read_num_ordered();
            if (numbers->is_small()) {
                numbers->for_each_small([&](uint32_t id, const OrderKey& key) {
                    if (reached.objects.contains(id)) values[id] = SortValue{rank_of(key), key, {}};
                });
            } else {
                const std::vector<uint32_t> ids = numbers->keyed_ids().and_(reached.objects).to_vector();
                const std::vector<OrderKey> keys = answers::keys_of(*numbers, ids);
                for (size_t i = 0; i < ids.size(); ++i) values[ids[i]] = SortValue{rank_of(keys[i]), keys[i], {}};
            }
            auto strings = map->read_str_radix_map();
            const auto text_of = [&](uint32_t id, std::string_view text) {
                values[id] = SortValue{kStringRank, {}, std::string(text)};
            };
            strings->empty_strings().and_(reached.objects).for_each([&](uint32_t id) { text_of(id, ""); });
            if (strings->is_small()) {
                strings->for_each_small([&](uint32_t id, std::string_view text) {
                    if (reached.objects.contains(id)) text_of(id, text);
                });
            } else if (!strings->uses_fingerprints()) {
                strings->value_table().for_each_set([&](const std::string& text, const HybridSet& set) {
                    set.and_(&reached.objects).for_each([&](uint32_t id) { text_of(id, text); });
                });
            } else {
                unlisted_strings = strings->every_string().and_(reached.objects);
            }
        }
    }
    // Strings the structures cannot list by id are read from the objects, with
    // no lock of the core held.
    for (const auto& [id, value] : answers::read_values(*this, unlisted_strings, path.last())) {
        if (const auto* text = value.as<cast::Str>()) values[id] = SortValue{kStringRank, {}, std::string(text->value.view())};
    }
    // Each object of the set orders by the first value it reaches.
    std::vector<std::pair<const SortValue*, uint32_t>> ordered;
    for (size_t i = 0; i < reached.pairs.size();) {
        const uint32_t object = reached.pairs[i].first;
        const SortValue* best = nullptr;
        for (; i < reached.pairs.size() && reached.pairs[i].first == object; ++i) {
            const auto found = values.find(reached.pairs[i].second);
            if (found == values.end()) continue;
            if (best == nullptr || sorts_before(found->second, *best, descending)) best = &found->second;
        }
        if (best != nullptr) ordered.emplace_back(best, object);
    }
    const auto by_value = [&](const auto& a, const auto& b) {
        if (sorts_before(*a.first, *b.first, descending)) return true;
        if (sorts_before(*b.first, *a.first, descending)) return false;
        return a.second < b.second;  // ties in the set's order
    };
    if (limit < ordered.size()) {
        std::partial_sort(ordered.begin(), ordered.begin() + static_cast<std::ptrdiff_t>(limit), ordered.end(), by_value);
        ordered.resize(limit);
    } else {
        std::sort(ordered.begin(), ordered.end(), by_value);
    }
    Bitmap placed;
    for (const auto& [value, object] : ordered) {
        out.push_back(object);
        placed.add(object);
    }
    // Then those that reach no value that orders, in the set's order.
    if (out.size() < limit) {
        from.andnot(placed).for_each([&](uint32_t id) {
            if (out.size() < limit) out.push_back(id);
        });
    }
    return out;
}

}  // namespace vorlane

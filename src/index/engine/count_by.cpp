// Counting by value: for each value of one attribute among a set's objects,
// how many of them hold it (a container's distinct elements once per object).
// Read off the value tables: a value's count is the size of its ids within the
// set, its container elements first traced to the objects holding them.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "index/engine/answers.hpp"
#include "index/engine/index.hpp"

namespace vorlane {

namespace {

// Below this many container elements per object of the set, each value's
// elements are traced to their objects; above, the set's objects' elements are read.
constexpr size_t kElementsPerHolder = 8;

// How many objects of `base` hold a value whose ids (objects and container
// elements) are `ids`.
class Counter {
public:
    // `direct_only`: container elements are counted elsewhere (element ids are
    // never among the objects of `base`, so they drop out of every count).
    Counter(const QueryMap& map, const Bitmap& base, bool direct_only) : map_(map), base_(base) {
        if (!direct_only && map.has_elements()) masked_ = map.masked_ids.read(QueryMap::kMapPoisoned)->clone();
    }
    bool has_elements() const noexcept { return !masked_.is_empty(); }
    const Bitmap& masked() const noexcept { return masked_; }

    uint64_t count(const HybridSet& ids) const {
        if (!has_elements()) return ids.count_in(base_);
        return count(ids.to_bitmap());
    }
    uint64_t count(const Bitmap& ids) const {
        if (!has_elements() || !ids.intersects(masked_)) return base_.and_cardinality(ids);
        Bitmap elements = ids.and_(masked_);
        Bitmap holders = ids.andnot(masked_);
        map_.unmask_ids(elements);
        holders.or_inplace(elements);
        return base_.and_cardinality(holders);
    }

private:
    const QueryMap& map_;
    const Bitmap& base_;
    Bitmap masked_;
};

// (value, owner) pairs, made distinct and counted per value.
template <class Value>
std::vector<std::pair<Value, uint64_t>> count_pairs(std::vector<std::pair<Value, uint32_t>>& pairs) {
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    std::vector<std::pair<Value, uint64_t>> out;
    for (const auto& [value, owner] : pairs) {
        if (out.empty() || !(out.back().first == value)) out.emplace_back(value, 0);
        ++out.back().second;
    }
    return out;
}

// The owners within `base` of the ids of `ids` (objects themselves, elements
// traced up to their objects) as (key, owner) pairs with the keys of `numbers`.
void keyed_owners(const QueryMap& map, const NumericalBitmap& numbers, const Bitmap& ids, const Counter& counter,
                  const Bitmap& base, std::vector<std::pair<OrderKey, uint32_t>>& out) {
    const std::vector<uint32_t> list = ids.to_vector();
    const std::vector<OrderKey> keys = answers::keys_of(numbers, list);
    if (!counter.has_elements()) {
        for (size_t i = 0; i < list.size(); ++i) out.emplace_back(keys[i], list[i]);
        return;
    }
    auto mapped = map.mapped_ids.read(QueryMap::kMapPoisoned);
    for (size_t i = 0; i < list.size(); ++i) {
        const uint32_t owner = answers::owner_of(*mapped, counter.masked(), list[i]);
        if (owner != PagedIdMap::kNone && base.contains(owner)) out.emplace_back(keys[i], owner);
    }
}

void count_numbers(const QueryMap& map, const Bitmap& base, const Counter& counter, std::vector<CountedValue>& out) {
    auto numbers = map.read_num_ordered();
    const auto emit = [&](const OrderKey& key, uint64_t n) {
        if (n != 0) out.push_back(CountedValue::number(key, n));
    };
    if (numbers->is_small()) {
        std::vector<std::pair<OrderKey, uint32_t>> pairs;
        numbers->for_each_small([&](uint32_t id, const OrderKey& key) { pairs.emplace_back(key, id); });
        std::unordered_map<OrderKey, Bitmap, OrderKeyHash> by_key;
        for (const auto& [key, id] : pairs) by_key[key].add(id);
        for (const auto& [key, ids] : by_key) emit(key, counter.count(ids));
        return;
    }
    const auto& table = numbers->key_table();
    if (table.active()) {
        table.for_each_set([&](const OrderKey& key, const HybridSet& ids) { emit(key, counter.count(ids)); });
        return;
    }
    // Too many keys for a table: the keys of the ids that count, read off the slices.
    Bitmap ids = numbers->keyed_ids();
    Bitmap wanted = base.clone();
    if (counter.has_elements()) wanted.or_inplace(counter.masked());
    ids.and_inplace(wanted);
    std::vector<std::pair<OrderKey, uint32_t>> pairs;
    keyed_owners(map, *numbers, ids, counter, base, pairs);
    for (const auto& [key, n] : count_pairs(pairs)) emit(key, n);
}

// Value order: numbers, strings, False, True, objects by id.
bool same_value_before(const CountedValue& a, const CountedValue& b) {
    if (a.kind != b.kind) return a.kind < b.kind;
    switch (a.kind) {
        case CountedValue::Kind::Number: return a.key < b.key;
        case CountedValue::Kind::Str: return a.text < b.text;
        case CountedValue::Kind::Bool: return a.flag < b.flag;
        case CountedValue::Kind::Object: return a.object < b.object;
    }
    return false;
}
bool same_value(const CountedValue& a, const CountedValue& b) {
    return !same_value_before(a, b) && !same_value_before(b, a);
}

void emit_text(std::string_view text, uint64_t n, std::vector<CountedValue>& out) {
    if (n != 0) out.push_back(CountedValue::string(text, n));
}

// Counts the strings the structures list; for those past the table of
// strings, puts the (string, owner) pairs of container elements into `pairs`
// and returns the objects whose own strings must be read from them.
Bitmap count_strings(const QueryMap& map, const Bitmap& base, const Counter& counter, std::vector<CountedValue>& out,
                     std::vector<std::pair<std::string, uint32_t>>& pairs) {
    auto strings = map.read_str_radix_map();
    emit_text("", counter.count(strings->empty_strings()), out);
    if (strings->is_small()) {
        std::unordered_map<std::string_view, Bitmap> by_text;
        strings->for_each_small([&](uint32_t id, std::string_view text) { by_text[text].add(id); });
        for (const auto& [text, ids] : by_text) emit_text(text, counter.count(ids), out);
        return Bitmap();
    }
    if (!strings->uses_fingerprints()) {
        strings->value_table().for_each_set(
            [&](const std::string& text, const HybridSet& ids) { emit_text(text, counter.count(ids), out); });
        return Bitmap();
    }
    const Bitmap listed = strings->every_string();
    if (counter.has_elements()) {
        const Bitmap elements = listed.and_(counter.masked());
        auto mapped = map.mapped_ids.read(QueryMap::kMapPoisoned);
        auto ledger = map.elements.read(QueryMap::kMapPoisoned);
        Bitmap holders;
        elements.for_each([&](uint32_t eid) { holders.add(mapped->find(eid)); });
        holders.for_each([&](uint32_t holder) {
            const uint32_t owner = answers::owner_of(*mapped, counter.masked(), holder);
            if (owner == PagedIdMap::kNone || !base.contains(owner)) return;
            ledger->for_each_of(holder, [&](uint32_t, const PyValue& value) {
                const auto* text = value.as<cast::Str>();
                if (text != nullptr && !text->value.view().empty()) pairs.emplace_back(text->value.view(), owner);
            });
        });
        return listed.andnot(counter.masked()).and_(base);
    }
    return listed.and_(base);
}

void count_flags(const QueryMap& map, const Counter& counter, std::vector<CountedValue>& out) {
    auto flags = map.bool_map.read(QueryMap::kMapPoisoned);
    for (const bool flag : {false, true}) {
        const uint64_t n = counter.count((*flags)[flag ? 0 : 1].bitmap());
        if (n != 0) out.push_back(CountedValue::boolean(flag, n));
    }
}

// Meeting one container of a nested object's holders (its ids within one run
// of 65,536) with the set costs about as much as visiting this many holders of
// the set: the many small containers of many nested objects are read from all
// over memory, the holders' links in order.
constexpr uint64_t kHoldersPerContainer = 4;

// Whether the nested objects' holder sets count `base` for less than a visit
// to each of its holders: a set has at most a container per 65,536 ids the
// set spans, and one per holder.
bool counts_by_holder_sets(const detail::HolderSets& sets, const Bitmap& base) {
    const uint64_t spans = (uint64_t{base.maximum()} >> 16) + 1;
    const uint64_t containers = sets.nested() + std::min<uint64_t>(sets.pairs(), sets.nested() * spans);
    return containers * kHoldersPerContainer <= base.cardinality();
}

// Nested objects by identity: the distinct objects each holder of `base` holds
// (links run from the stored object itself, also for container elements).
// While the links keep each nested object's distinct holders and those are
// cheaper to read, each count is the size of an intersection; otherwise the
// holders of `base` are visited.
void count_objects(const QueryMap& map, const Bitmap& base, std::vector<CountedValue>& out) {
    auto links = map.links.read(QueryMap::kMapPoisoned);
    if (links->empty()) return;
    const detail::HolderSets* sets = links->holder_sets();
    if (sets != nullptr && counts_by_holder_sets(*sets, base)) {
        sets->for_each([&](uint32_t nested, const HybridSet& holders) {
            const uint64_t n = holders.count_in(base);
            if (n != 0) out.push_back(CountedValue::nested(nested, n));
        });
        return;
    }
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    std::vector<uint32_t> held;
    base.for_each([&](uint32_t holder) {
        held.clear();
        links->for_each_held(holder, [&](uint32_t nested) { held.push_back(nested); });
        std::sort(held.begin(), held.end());
        held.erase(std::unique(held.begin(), held.end()), held.end());
        for (const uint32_t nested : held) pairs.emplace_back(nested, holder);
    });
    for (const auto& [nested, n] : count_pairs(pairs)) out.push_back(CountedValue::nested(nested, n));
}

// The elements of the containers of a few objects, read from the ledger of
// elements object by object (cheaper than tracing every element of a value to
// its object once the set is small): each distinct value once per object.
// Nested objects are left out (their links count them).
void count_elements_of(const QueryMap& map, const Bitmap& base, std::vector<CountedValue>& out) {
    auto ledger = map.elements.read(QueryMap::kMapPoisoned);
    // Values by a text of their own (kind, then key, string or flag): one
    // table lookup an element, and each object's values made distinct first.
    std::unordered_map<std::string, uint64_t> counts;
    std::vector<std::string> found;
    base.for_each([&](uint32_t holder) {
        found.clear();
        ledger->for_each_within(holder, [&](uint32_t, const PyValue& value) {
            std::string code;
            switch (value.kind()) {
                case Kind::Int:
                case Kind::Float:
                case Kind::Time: {
                    const auto key = number_key(value);
                    if (!key) return;
                    code.assign(1, 'n');
                    code.append(reinterpret_cast<const char*>(&key->head), sizeof(key->head));
                    code.append(reinterpret_cast<const char*>(&key->mantissa), sizeof(key->mantissa));
                    break;
                }
                case Kind::Str:
                    code.assign(1, 's');
                    code.append(value.as<cast::Str>()->value.view());
                    break;
                case Kind::Bool: code.assign(value.as<cast::Bool>()->value ? "bT" : "bF"); break;
                case Kind::Iterable:  // its elements come next
                case Kind::Ind:
                case Kind::Unknown: return;
            }
            found.push_back(std::move(code));
        });
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        for (std::string& code : found) ++counts[std::move(code)];
    });
    for (const auto& [code, n] : counts) {
        if (code[0] == 'n') {
            OrderKey key;
            std::memcpy(&key.head, code.data() + 1, sizeof(key.head));
            std::memcpy(&key.mantissa, code.data() + 1 + sizeof(key.head), sizeof(key.mantissa));
            out.push_back(CountedValue::number(key, n));
        } else if (code[0] == 's') {
            out.push_back(CountedValue::string(std::string_view(code).substr(1), n));
        } else {
            out.push_back(CountedValue::boolean(code[1] == 'T', n));
        }
    }
}

// Adds up the entries of one value (a value counted by two roads).
void merge_same_values(std::vector<CountedValue>& out) {
    std::sort(out.begin(), out.end(), same_value_before);
    size_t kept = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (kept != 0 && same_value(out[kept - 1], out[i])) {
            out[kept - 1].count += out[i].count;
        } else {
            if (kept != i) out[kept] = std::move(out[i]);
            ++kept;
        }
    }
    out.resize(kept);
}

// Most common first; ties in value order: numbers, strings, False, True,
// objects by id.
bool before(const CountedValue& a, const CountedValue& b) {
    if (a.count != b.count) return a.count > b.count;
    return same_value_before(a, b);
}

}  // namespace

bool answers::count_before(const CountedValue& a, const CountedValue& b) { return before(a, b); }

std::vector<CountedValue> IndexAPI::count_by(uint32_t attr, const Bitmap* base) const {
    std::vector<CountedValue> out;
    Bitmap members;
    Bitmap unlisted;
    std::vector<std::pair<std::string, uint32_t>> pairs;
    {
        auto maps = index->read();
        base = &set_or_members(base, members);
        const QueryMap* map = maps->find(attr);
        if (map == nullptr) return out;
        // A set much smaller than the container elements of the attribute
        // reads its own objects' elements; a larger one traces each value's.
        const bool by_holders = map->has_elements() &&
                                base->cardinality() * kElementsPerHolder < map->elements.read(QueryMap::kMapPoisoned)->size();
        const Counter counter(*map, *base, by_holders);
        count_numbers(*map, *base, counter, out);
        unlisted = count_strings(*map, *base, counter, out, pairs);
        count_flags(*map, counter, out);
        count_objects(*map, *base, out);
        if (by_holders) count_elements_of(*map, *base, out);
    }
    if (!unlisted.is_empty() || !pairs.empty()) {
        // The objects' own strings are read once no lock of the core is held.
        for (const auto& [id, value] : answers::read_values(*this, unlisted, attr)) {
            const auto* text = value.as<cast::Str>();
            if (text != nullptr && !text->value.view().empty()) pairs.emplace_back(text->value.view(), id);
        }
        for (const auto& [text, n] : count_pairs(pairs)) emit_text(text, n, out);
    }
    merge_same_values(out);
    std::sort(out.begin(), out.end(), before);
    return out;
}

}  // namespace vorlane

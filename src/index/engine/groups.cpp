// Groups: the objects of a set by value of one attribute or dotted path, each
// value count_by gives with the objects holding it. Read off the value tables
// where they list every value of the attribute (each table entry's ids met
// with the set); otherwise each value's objects are those its equality query
// finds within the set.
#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "index/engine/answers.hpp"
#include "index/engine/index.hpp"
#include "index/structures/string_interner.hpp"

namespace vorlane {

Bitmap answers::objects_holding(const IndexAPI& core, const ValueMaps& maps, uint32_t attr, const CountedValue& value,
                                const Bitmap& among) {
    const QueryMap* map = maps.find(attr);
    if (map == nullptr) return Bitmap();
    if (value.kind == CountedValue::Kind::Str && value.text.empty()) {
        Bitmap out = map->read_str_radix_map()->empty_strings().clone();
        map->unmask_ids(out);
        out.and_inplace(among);
        return out;
    }
    const Path name(StrInterner::global().snapshot().name(attr));
    return evaluate_query(EvalContext{maps, core}, among, QueryExpr{q::Eq{name, operand_of(value)}});
}

Operand answers::operand_of(const CountedValue& v) {
    switch (v.kind) {
        case CountedValue::Kind::Number: {
            if (is_time_key(v.key)) return Operand{PyValue(cast::Time{v.key.mantissa, {}}), {}};
            const NumberValue n = number_of_key(v.key);
            if (n.form == NumberValue::Form::Int) return Operand{PyValue(cast::Int(n.integer)), {}};
            return Operand{PyValue(cast::Float(n.real)), {}};
        }
        case CountedValue::Kind::Str: return Operand{PyValue(cast::Str{SmallString(v.text)}), {}};
        case CountedValue::Kind::Bool: return Operand{PyValue(cast::Bool{v.flag}), {}};
        case CountedValue::Kind::Object: {
            StoredIndexable object;
            object.id = v.object;
            return Operand{PyValue(cast::Ind{std::move(object)}), {}};
        }
    }
    return Operand{PyValue(cast::Bool{false}), {}};
}

namespace {

// The objects of `base` (the members when null) whose `path` reaches the empty
// string. No query finds it (it is in no string structure but a set of its
// own), yet count_by counts it: its group is found from that set.
Bitmap holding_empty_string(const IndexAPI& core, const AttrPath& path, const Bitmap* base) {
    auto maps = core.index->read();
    auto members = core.allowed_items->read();
    auto graph = core.graph->read();
    Bitmap at = answers::objects_holding(core, *maps, path.last(), CountedValue::string("", 0), graph->stored);
    at = answers::back_along(*maps, path, std::move(at), graph->stored);
    at.and_inplace(*members);
    if (base != nullptr) at.and_inplace(*base);
    return at;
}

// The groups of an attribute whose numbers and strings the value tables list
// whole and that holds no container (so that every id is an object's own):
// each entry's ids met with the set, booleans from their two sets, the empty
// string from its own. Nothing when another structure holds some value.
std::optional<std::vector<std::pair<CountedValue, Bitmap>>> groups_from_tables(const IndexAPI& core, uint32_t attr,
                                                                                 const Bitmap* base) {
    std::vector<std::pair<CountedValue, Bitmap>> out;
    Bitmap members;
    auto maps = core.index->read();
    const Bitmap& set = core.set_or_members(base, members);
    const QueryMap* map = maps->find(attr);
    if (map == nullptr) return out;
    if (map->has_elements() || !map->links.read(QueryMap::kMapPoisoned)->empty()) {
        return std::nullopt;
    }
    auto numbers = map->read_num_ordered();
    auto strings = map->read_str_radix_map();
    if (!strings->is_small() && strings->uses_fingerprints()) return std::nullopt;
    if (!numbers->is_small() && !numbers->key_table().active() && !numbers->keyed_ids().is_empty()) {
        return std::nullopt;
    }
    const auto add = [&](CountedValue value, Bitmap ids) {
        if (ids.is_empty()) return;
        value.count = ids.cardinality();
        out.emplace_back(std::move(value), std::move(ids));
    };
    if (numbers->is_small()) {
        std::unordered_map<OrderKey, std::vector<uint32_t>, OrderKeyHash> by_key;
        numbers->for_each_small([&](uint32_t id, const OrderKey& key) {
            if (set.contains(id)) by_key[key].push_back(id);
        });
        for (auto& [key, ids] : by_key) add(CountedValue::number(key, 0), Bitmap(std::span<const uint32_t>(ids)));
    } else if (numbers->key_table().active()) {
        numbers->key_table().for_each_set(
            [&](const OrderKey& key, const HybridSet& ids) { add(CountedValue::number(key, 0), ids.and_(&set)); });
    }
    add(CountedValue::string("", 0), strings->empty_strings().and_(set));
    if (strings->is_small()) {
        std::unordered_map<std::string_view, std::vector<uint32_t>> by_text;
        strings->for_each_small([&](uint32_t id, std::string_view text) {
            if (set.contains(id)) by_text[text].push_back(id);
        });
        for (auto& [text, ids] : by_text) add(CountedValue::string(text, 0), Bitmap(std::span<const uint32_t>(ids)));
    } else {
        strings->value_table().for_each_set(
            [&](const std::string& text, const HybridSet& ids) { add(CountedValue::string(text, 0), ids.and_(&set)); });
    }
    auto flags = map->bool_map.read(QueryMap::kMapPoisoned);
    add(CountedValue::boolean(false, 0), (*flags)[1].bitmap().and_(set));
    add(CountedValue::boolean(true, 0), (*flags)[0].bitmap().and_(set));
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return answers::count_before(a.first, b.first); });
    return out;
}

}  // namespace

std::vector<std::pair<CountedValue, Bitmap>> IndexAPI::groups(const AttrPath& path, const Bitmap* base) const {
    if (!path.dotted()) {
        if (auto found = groups_from_tables(*this, path.last(), base)) return std::move(*found);
    }
    std::vector<CountedValue> values;
    if (path.dotted() && answers::members_link_once(*this, path, base)) {
        values = answers::linked_counts(*this, path);  // off the links' list sizes, no member visited
    } else if (path.dotted()) {
        Bitmap members;
        const PathReach reached = reach(path, set_or_members(base, members), false);
        values = count_by(path.last(), &reached.objects);
    } else {
        values = count_by(path.last(), base);
    }
    std::vector<std::pair<CountedValue, Bitmap>> out;
    out.reserve(values.size());
    const Path attr(path.text);
    for (CountedValue& value : values) {
        Bitmap ids = value.kind == CountedValue::Kind::Str && value.text.empty()
                         ? holding_empty_string(*this, path, base)
                         : query_ids(QueryExpr{q::Eq{attr, answers::operand_of(value)}}, base);
        if (ids.is_empty()) continue;  // written meanwhile
        value.count = ids.cardinality();
        out.emplace_back(std::move(value), std::move(ids));
    }
    if (path.dotted()) {
        // Counted again over the set: the order follows the new counts.
        std::sort(out.begin(), out.end(),
                  [](const auto& a, const auto& b) { return answers::count_before(a.first, b.first); });
    }
    return out;
}


}  // namespace vorlane

// Query evaluation over the value maps of one core.
#include "index/engine/index.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "index/structures/string_interner.hpp"

namespace vorlane {

namespace {

int cost_rank(const QueryExpr& e) {
    static constexpr int kRank[] = {0, 1, 2, 3, 7, 8, 11, 12, 9, 10, 13, 4, 5, 6};
    return kRank[e.node.index()];
}

const Path* node_path(const QueryExpr& e) {
    return std::visit(
        [](const auto& n) -> const Path* {
            if constexpr (requires { n.attr; }) {
                return &n.attr;
            } else {
                return nullptr;
            }
        },
        e.node);
}

// The same node with its path replaced.
QueryExpr with_path(const QueryExpr& e, Path path) {
    QueryExpr copy = e;
    std::visit(
        [&](auto& n) {
            if constexpr (requires { n.attr; }) n.attr = std::move(path);
        },
        copy.node);
    return copy;
}

// --- per variant against one map -----------------------------------------

// The ids whose value equals `v` (of `candidates` only, when given).
Bitmap eq_in_map(const QueryMap& m, const PyValue& v, const Bitmap* candidates) {
    switch (v.kind()) {
        case Kind::Int:
        case Kind::Float:
        case Kind::Time: {
            const auto key = number_key(v);
            if (!key) return Bitmap();
            return m.read_num_ordered()->get_eq(*key, candidates);
        }
        case Kind::Str:
            return m.read_str_radix_map()->equal(v.as<cast::Str>()->value.view(), candidates);
        case Kind::Bool: {
            auto bools = m.bool_map.read(QueryMap::kMapPoisoned);
            const Bitmap& side = (*bools)[v.as<cast::Bool>()->value ? 0 : 1].bitmap();
            return candidates != nullptr ? candidates->and_(side) : side.clone();
        }
        case Kind::Ind: return m.holders_of(Bitmap{v.as<cast::Ind>()->value.id});
        default: {
            const auto set = m.exact.get(v);
            return set ? set->to_bitmap() : Bitmap();
        }
    }
}

enum class Side : uint8_t { Greater, AtLeast, Less, AtMost };

// Range searches work on the base plus the element ids of containers, but
// only when some element has a key here: otherwise the base alone (no
// copy of it widened by every element id of the attribute).
template <class Search>
Bitmap search_numbers(const QueryMap& m, const Bitmap& base, Search&& search) {
    const auto numbers = m.read_num_ordered();
    std::optional<Bitmap> widened;
    {
        const auto masked = m.masked_ids.read(QueryMap::kMapPoisoned);
        if (!masked->is_empty() && numbers->holds_any(*masked)) widened = base.or_(*masked);
    }
    Bitmap out;
    search(*numbers, out, widened ? *widened : base);
    return out;
}

// The keys in [low, high], kept to the region of their kind.
void between_keys(const NumericalBitmap& numbers, const OrderKey& low, const OrderKey& high, Bitmap& out,
                  const Bitmap& candidates) {
    if (high < low) return;
    numbers.get_between_into_base(low, high, out, candidates);
}

// A one-sided range compares only with values of the operand's kind: numbers
// with numbers, dates with dates, and so on. While every key entered lies in
// that region on the searched side, the one-sided search serves; else the
// range is closed at the region's end.
Bitmap range_in_map(const QueryMap& m, const PyValue& v, const Bitmap& base, Side side) {
    const auto key = number_key(v);
    if (!key) return Bitmap();  // NaN orders nowhere
    return search_numbers(m, base, [&](const NumericalBitmap& numbers, Bitmap& out, const Bitmap& candidates) {
        const auto [first, last] = key_region(*key);
        const auto bounds = numbers.key_bounds();
        if (!bounds) return;
        const bool upward = side == Side::Greater || side == Side::AtLeast;
        const bool inclusive = side == Side::AtLeast || side == Side::AtMost;
        if (upward ? !(last < bounds->second) : !(bounds->first < first)) {
            switch (side) {
                case Side::Greater: numbers.get_gt_into_base(*key, out, candidates); break;
                case Side::AtLeast: numbers.get_gte_into_base(*key, out, candidates); break;
                case Side::Less: numbers.get_lt_into_base(*key, out, candidates); break;
                case Side::AtMost: numbers.get_lte_into_base(*key, out, candidates); break;
            }
            return;
        }
        if (upward) {
            const auto low = inclusive ? std::optional<OrderKey>(*key) : next_key(*key);
            if (low) between_keys(numbers, *low, last, out, candidates);
        } else {
            const auto high = inclusive ? std::optional<OrderKey>(*key) : previous_key(*key);
            if (high) between_keys(numbers, first, *high, out, candidates);
        }
    });
}

// Both bounds must be of one ordered kind (checked when the query is made);
// NaN bounds order nothing.
Bitmap between_in_map(const QueryMap& m, const PyValue& low, const PyValue& high, const Bitmap& base) {
    const auto kl = number_key(low);
    const auto kh = number_key(high);
    if (!kl || !kh || *kh < *kl || key_region(*kl) != key_region(*kh)) return Bitmap();
    return search_numbers(m, base, [&](const NumericalBitmap& numbers, Bitmap& out, const Bitmap& candidates) {
        numbers.get_between_into_base(*kl, *kh, out, candidates);
    });
}

using StringSearch = Bitmap (PositionalBitmap::*)(std::string_view) const;

Bitmap string_search_in_map(const QueryMap& m, const PyValue& v, StringSearch search) {
    const auto* text = v.as<cast::Str>();
    if (text == nullptr) return Bitmap();
    return ((*m.read_str_radix_map()).*search)(text->value.view());
}

bool is_range(const QueryExpr& e) {
    return std::holds_alternative<q::Gt>(e.node) || std::holds_alternative<q::Ge>(e.node) ||
           std::holds_alternative<q::Lt>(e.node) || std::holds_alternative<q::Le>(e.node) ||
           std::holds_alternative<q::Bt>(e.node);
}

// Tracing the element ids a search found to their holders costs a lookup
// each; reading a small base's own elements from the ledger costs a few. Past
// this many found element ids per element of the base, the found ones are cut
// to the base's own before they are traced.
constexpr uint64_t kTracedPerOwnElement = 4;

// Keeps the element ids of `found` to those of the base's own containers when
// that is cheaper than tracing them all (views of a large index).
void keep_to_own_elements(const QueryMap& m, const Bitmap& base, Bitmap& found) {
    if (!m.has_elements()) return;
    const auto ledger = m.elements.read(QueryMap::kMapPoisoned);
    const uint64_t per_holder = ledger->size() / std::max<size_t>(ledger->holders(), 1) + 1;
    const uint64_t bound = kTracedPerOwnElement * per_holder * base.cardinality();
    // A base as large as that holds about every element: nothing to cut, and nothing to count.
    if (bound >= ledger->size()) return;
    if (found.and_cardinality(*m.masked_ids.read(QueryMap::kMapPoisoned)) <= bound) return;
    Bitmap own = answers::elements_of(*ledger, base);
    own.or_inplace(base);
    found.and_inplace(own);
}

// A node with a path, evaluated against the map of its attribute (after unmasking).
Bitmap path_node_in_map(const QueryMap& m, const Bitmap& base, const QueryExpr& e) {
    Bitmap r = std::visit(
        [&](const auto& n) -> Bitmap {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, q::Eq>) {
                // Equality works only on the candidates from the start when no
                // container element can match (element ids are not candidates;
                // they map to holders later).
                return eq_in_map(m, n.value, m.has_elements() ? nullptr : &base);
            } else if constexpr (std::is_same_v<N, q::Gt>) {
                return range_in_map(m, n.value, base, Side::Greater);
            } else if constexpr (std::is_same_v<N, q::Ge>) {
                return range_in_map(m, n.value, base, Side::AtLeast);
            } else if constexpr (std::is_same_v<N, q::Lt>) {
                return range_in_map(m, n.value, base, Side::Less);
            } else if constexpr (std::is_same_v<N, q::Le>) {
                return range_in_map(m, n.value, base, Side::AtMost);
            } else if constexpr (std::is_same_v<N, q::Bt>) {
                return between_in_map(m, n.low, n.high, base);
            } else if constexpr (std::is_same_v<N, q::StartsWi>) {
                return string_search_in_map(m, n.value, &PositionalBitmap::starts_with);
            } else if constexpr (std::is_same_v<N, q::EndsWi>) {
                return string_search_in_map(m, n.value, &PositionalBitmap::ends_with);
            } else if constexpr (std::is_same_v<N, q::Contains>) {
                return string_search_in_map(m, n.value, &PositionalBitmap::contains);
            } else {
                fail("node without a single-map evaluation");
            }
        },
        e.node);
    keep_to_own_elements(m, base, r);
    m.unmask_ids(r);
    // Range searches looked at element ids too; after unmasking, keep them to the base.
    if (is_range(e)) r.and_inplace(base);
    return r;
}

// Nodes that address one attribute: the path's head selects the map. A dotted
// path is its rest evaluated over every stored object, mapped back to the
// holders through this attribute's links: a path is followed exactly as far
// as it goes, on any graph.
Bitmap evaluate_path_node_in(const EvalContext& ctx, const Bitmap& base, const QueryExpr& e) {
    const std::string_view path = node_path(e)->view();
    const auto dot = path.rfind('.');
    StrInterner& names = StrInterner::global();
    if (dot == std::string_view::npos) {
        const QueryMap* found = ctx.maps.find(names.intern(path));
        return found != nullptr ? path_node_in_map(*found, base, e) : Bitmap();
    }
    // The last attribute over every stored object, then back to the holders
    // through each attribute before it, last to first: no recursion, however
    // long the path. The graph stays read-locked meanwhile (no value map waits on it).
    const auto graph = ctx.core.graph->read();
    const Bitmap& stored = graph->stored;
    const QueryMap* leaf = ctx.maps.find(names.intern(path.substr(dot + 1)));
    if (leaf == nullptr) return Bitmap();
    Bitmap matched = path_node_in_map(*leaf, stored, with_path(e, Path(path.substr(dot + 1))));
    size_t end = dot;
    for (;;) {
        // Objects on their way out of the store keep their values a moment longer.
        matched.and_inplace(stored);
        if (matched.is_empty()) return matched;
        const auto start = path.rfind('.', end - 1);
        const size_t from = start == std::string_view::npos || end == 0 ? 0 : start + 1;
        const QueryMap* step = ctx.maps.find(names.intern(path.substr(from, end - from)));
        if (step == nullptr) return Bitmap();
        matched = step->holders_of(matched);
        if (from == 0) return matched;
        end = from - 1;
    }
}

Bitmap evaluate_path_node(const EvalContext& ctx, const Bitmap& base, const QueryExpr& e) {
    Bitmap r = evaluate_path_node_in(ctx, base, e);
    if (ctx.members != nullptr) r.and_inplace(*ctx.members);
    return r;
}

// Membership: the union of the equalities, unmasked once and kept to the
// base with one intersection at the end (each equality reads its ids whole).
Bitmap in_values(const EvalContext& ctx, const Bitmap& base, const q::In& n) {
    Bitmap r;
    auto [head, rest] = attr_parts(n.attr);
    if (rest) {
        // Dotted paths answer through the links, value by value.
        for (const Operand& v : n.values) r.or_inplace(evaluate_query(ctx, base, QueryExpr{q::Eq{n.attr, v}}));
    } else {
        const QueryMap* m = ctx.maps.find(StrInterner::global().intern(head.view()));
        if (m == nullptr) return Bitmap();
        // Numbers and strings are looked up together, each kind in one union.
        std::vector<OrderKey> keys;
        std::vector<std::string_view> texts;
        std::vector<Bitmap> parts;
        for (const Operand& v : n.values) {
            if (has_order_key(v.kind())) {
                if (const auto key = number_key(v)) keys.push_back(*key);
            } else if (v.kind() == Kind::Str) {
                texts.push_back(v.as<cast::Str>()->value.view());
            } else {
                parts.push_back(eq_in_map(*m, v, nullptr));
            }
        }
        if (!keys.empty()) parts.push_back(m->read_num_ordered()->get_eq_any(keys));
        if (!texts.empty()) parts.push_back(m->read_str_radix_map()->equal_any(texts));
        r = Bitmap::or_many(std::span<const Bitmap>(parts));
        m->unmask_ids(r);
    }
    r.and_inplace(base);
    if (ctx.members != nullptr) r.and_inplace(*ctx.members);
    return r;
}

}  // namespace

Bitmap evaluate_query(const EvalContext& ctx, const Bitmap& base, const QueryExpr& expr) {
    return std::visit(
        [&](const auto& n) -> Bitmap {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, q::Ne>) {
                Bitmap r = base.clone();
                r.andnot_inplace(evaluate_query(ctx, base, QueryExpr{q::Eq{n.attr, n.value}}));
                return r;
            } else if constexpr (std::is_same_v<N, q::Not>) {
                Bitmap r = base.clone();
                r.andnot_inplace(evaluate_query(ctx, base, *n.inner));
                return r;
            } else if constexpr (std::is_same_v<N, q::In>) {
                return in_values(ctx, base, n);
            } else if constexpr (std::is_same_v<N, q::And>) {
                return evaluate_and_queries_vec(ctx, base, n.parts);
            } else if constexpr (std::is_same_v<N, q::Or>) {
                Bitmap r;
                for (const QueryExpr& part : n.parts) r.or_inplace(evaluate_query(ctx, base, part));
                return r;
            } else {
                return evaluate_path_node(ctx, base, expr);
            }
        },
        expr.node);
}

Bitmap evaluate_and_queries_vec(const EvalContext& ctx, const Bitmap& base, std::span<const QueryExpr> exprs) {
    Bitmap r = base.clone();
    std::vector<const QueryExpr*> order;
    order.reserve(exprs.size());
    for (const QueryExpr& e : exprs) order.push_back(&e);
    std::stable_sort(order.begin(), order.end(),
                     [](const QueryExpr* a, const QueryExpr* b) { return cost_rank(*a) < cost_rank(*b); });
    for (const QueryExpr* e : order) r.and_inplace(evaluate_query(ctx, r, *e));
    return r;
}

}  // namespace vorlane

// Query evaluation over the value maps of one core.
#include "index/core/index.hpp"

#include <algorithm>

#include "index/core/structures/string_interner.hpp"

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

// --- strings -------------------------------------------------------------
// A string of n bytes starts at start_of(n) <= c - 1 and ends at or right of
// c - 1, so an edge bitmap left of c - 1 holds only starts and one right of it
// only ends. At c - 1 both meet: one-byte strings (start and end there) and the
// starts of two-byte strings, which also sit in edge(c). The searches below
// separate them so that every answer is exact.

const Bitmap& slot_bits(const PositionalBitmap& s, size_t p, size_t slot) { return s.slot(p, slot).bitmap(); }

// Ids whose string starts at p.
Bitmap starts_at(const PositionalBitmap& s, size_t p) { return slot_bits(s, p, PositionalBitmap::kEdgeSlot).clone(); }

// Ids whose string ends at e.
Bitmap ends_at(const PositionalBitmap& s, size_t e) {
    Bitmap r = slot_bits(s, e, PositionalBitmap::kEdgeSlot).clone();
    const size_t c = s.middle();
    if (e + 1 == c && c < s.len()) r.andnot_inplace(slot_bits(s, c, PositionalBitmap::kEdgeSlot));
    return r;
}

void and_bytes(const PositionalBitmap& s, Bitmap& r, size_t from, std::string_view needle) {
    for (size_t j = 0; j < needle.size() && !r.is_empty(); ++j) {
        r.and_inplace(slot_bits(s, from + j, static_cast<uint8_t>(needle[j])));
    }
}

Bitmap every_string(const PositionalBitmap& s) {
    Bitmap r;
    for (size_t p = 0; p < s.middle(); ++p) r.or_inplace(slot_bits(s, p, PositionalBitmap::kEdgeSlot));
    return r;
}

Bitmap str_equal(const PositionalBitmap& s, std::string_view needle, const Bitmap* candidates) {
    const size_t n = needle.size();
    if (n == 0 || n > s.len()) return Bitmap();
    const size_t start = s.start_of(n);
    Bitmap r = candidates != nullptr ? candidates->and_(slot_bits(s, start, PositionalBitmap::kEdgeSlot))
                                     : starts_at(s, start);
    r.and_inplace(ends_at(s, start + n - 1));
    and_bytes(s, r, start, needle);
    return r;
}

// Ids whose string has `needle` at positions `from`...: the needle's own bytes
// are intersected first (they are the selective part), without copying any
// bitmap that is only read.
Bitmap needle_at(const PositionalBitmap& s, size_t from, std::string_view needle) {
    const Bitmap& first = slot_bits(s, from, static_cast<uint8_t>(needle[0]));
    if (needle.size() == 1 || first.is_empty()) return first.clone();
    Bitmap t = first.and_(slot_bits(s, from + 1, static_cast<uint8_t>(needle[1])));
    and_bytes(s, t, from + 2, needle.substr(2));
    return t;
}

Bitmap str_starts_with(const PositionalBitmap& s, std::string_view needle) {
    const size_t n = needle.size();
    if (n == 0) return every_string(s);
    Bitmap out;
    for (size_t p = 0; p < s.middle() && p + n <= s.len(); ++p) {
        // The edge bitmap is dense and the byte bitmaps sparse: intersecting a
        // sparse one into the dense one first costs a lookup per sparse id.
        Bitmap t = slot_bits(s, p, PositionalBitmap::kEdgeSlot).and_(slot_bits(s, p, static_cast<uint8_t>(needle[0])));
        and_bytes(s, t, p + 1, needle.substr(1));
        out.or_inplace(t);
    }
    return out;
}

Bitmap str_ends_with(const PositionalBitmap& s, std::string_view needle) {
    const size_t n = needle.size();
    if (n == 0) return every_string(s);
    Bitmap out;
    const size_t c = s.middle();
    const size_t lo = std::max(c == 0 ? size_t{0} : c - 1, n - 1);
    for (size_t e = lo; e < s.len(); ++e) {
        Bitmap t = ends_at(s, e);
        t.and_inplace(slot_bits(s, e, static_cast<uint8_t>(needle[n - 1])));
        and_bytes(s, t, e + 1 - n, needle.substr(0, n - 1));
        out.or_inplace(t);
    }
    return out;
}

Bitmap str_contains(const PositionalBitmap& s, std::string_view needle) {
    const size_t n = needle.size();
    if (n == 0) return every_string(s);
    Bitmap out;
    for (size_t p = 0; p + n <= s.len(); ++p) out.or_inplace(needle_at(s, p, needle));
    return out;
}

// --- per variant against one map -----------------------------------------

// Equality works only on the candidates from the start when no container
// element can match (element ids are not candidates; they map to holders later).
Bitmap eq_in_map(const QueryMap& m, const PyValue& v, const Bitmap& base) {
    const Bitmap* candidates = m.has_elements() ? nullptr : &base;
    switch (v.kind()) {
        case Kind::Int:
        case Kind::Float: {
            const auto key = number_key(v);
            if (!key) return Bitmap();
            return m.num_ordered.read(QueryMap::kMapPoisoned)->get_eq(*key, candidates);
        }
        case Kind::Str:
            return str_equal(*m.str_radix_map.read(QueryMap::kMapPoisoned), v.as<cast::Str>()->value.view(),
                             candidates);
        case Kind::Bool: {
            auto bools = m.bool_map.read(QueryMap::kMapPoisoned);
            const Bitmap& side = (*bools)[v.as<cast::Bool>()->value ? 0 : 1].bitmap();
            return candidates != nullptr ? candidates->and_(side) : side.clone();
        }
        default: {
            const auto set = m.exact.get(v);
            return set ? set->to_bitmap() : Bitmap();
        }
    }
}

using RangeSearch = void (NumericalBitmap::*)(const OrderKey&, Bitmap&, const Bitmap&) const;

Bitmap range_in_map(const QueryMap& m, const PyValue& v, const Bitmap& base, RangeSearch search) {
    const auto key = number_key(v);
    if (!key) return Bitmap();
    const Bitmap candidates = m.with_elements(base);  // numeric elements of containers count too
    Bitmap out;
    ((*m.num_ordered.read(QueryMap::kMapPoisoned)).*search)(*key, out, candidates);
    return out;
}

bool key_less(const OrderKey& a, const OrderKey& b) {
    return a.head != b.head ? a.head < b.head : a.mantissa < b.mantissa;
}

Bitmap between_in_map(const QueryMap& m, const PyValue& low, const PyValue& high, const Bitmap& base) {
    const bool numeric = (low.kind() == Kind::Int || low.kind() == Kind::Float) &&
                         (high.kind() == Kind::Int || high.kind() == Kind::Float);
    if (!numeric) fail("not yet implemented");
    const auto kl = number_key(low);
    const auto kh = number_key(high);
    if (!kl || !kh || key_less(*kh, *kl)) return Bitmap();
    const Bitmap candidates = m.with_elements(base);
    auto numbers = m.num_ordered.read(QueryMap::kMapPoisoned);
    // The lower bound is searched among the ids already under the upper one.
    Bitmap at_most, between;
    numbers->get_lte_into_base(*kh, at_most, candidates);
    numbers->get_gte_into_base(*kl, between, at_most);
    return between;
}

Bitmap string_search_in_map(const QueryMap& m, const PyValue& v, Bitmap (*search)(const PositionalBitmap&, std::string_view)) {
    const auto* text = v.as<cast::Str>();
    if (text == nullptr) return Bitmap();
    return search(*m.str_radix_map.read(QueryMap::kMapPoisoned), text->value.view());
}

bool is_range(const QueryExpr& e) {
    return std::holds_alternative<q::Gt>(e.node) || std::holds_alternative<q::Ge>(e.node) ||
           std::holds_alternative<q::Lt>(e.node) || std::holds_alternative<q::Le>(e.node) ||
           std::holds_alternative<q::Bt>(e.node);
}

// A node with a path, evaluated against the map of its attribute (after unmasking).
Bitmap path_node_in_map(const QueryMap& m, const Bitmap& base, const QueryExpr& e) {
    Bitmap r = std::visit(
        [&](const auto& n) -> Bitmap {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, q::Eq>) {
                return eq_in_map(m, n.value, base);
            } else if constexpr (std::is_same_v<N, q::Gt>) {
                return range_in_map(m, n.value, base, &NumericalBitmap::get_gt_into_base);
            } else if constexpr (std::is_same_v<N, q::Ge>) {
                return range_in_map(m, n.value, base, &NumericalBitmap::get_gte_into_base);
            } else if constexpr (std::is_same_v<N, q::Lt>) {
                return range_in_map(m, n.value, base, &NumericalBitmap::get_lt_into_base);
            } else if constexpr (std::is_same_v<N, q::Le>) {
                return range_in_map(m, n.value, base, &NumericalBitmap::get_lte_into_base);
            } else if constexpr (std::is_same_v<N, q::Bt>) {
                return between_in_map(m, n.low, n.high, base);
            } else if constexpr (std::is_same_v<N, q::StartsWi>) {
                return string_search_in_map(m, n.value, str_starts_with);
            } else if constexpr (std::is_same_v<N, q::EndsWi>) {
                return string_search_in_map(m, n.value, str_ends_with);
            } else if constexpr (std::is_same_v<N, q::Contains>) {
                return string_search_in_map(m, n.value, str_contains);
            } else {
                fail("node without a single-map evaluation");
            }
        },
        e.node);
    m.unmask_ids(r);
    // Range searches looked at element ids too; after unmasking, keep them to the base.
    if (is_range(e)) r.and_inplace(base);
    return r;
}

// Nodes that address one attribute: the path's head selects the map; a rest
// descends into the child index of nested objects and maps back to holders.
Bitmap evaluate_path_node(const ValueMaps& maps, const Bitmap& base, const QueryExpr& e) {
    auto [head, rest] = attr_parts(*node_path(e));
    const uint32_t attr = StrInterner::global().intern(head.view());
    const QueryMap* found = maps.find(attr);
    if (found == nullptr) return Bitmap();
    const QueryMap& m = *found;
    if (rest) {
        const auto child = m.child_index();
        if (child == nullptr) return Bitmap();  // no nested object ever arrived here
        Bitmap matched = child->query_ids(with_path(e, std::move(*rest)));
        return child->get_parent_from_ids(matched);
    }
    return path_node_in_map(m, base, e);
}

}  // namespace

Bitmap evaluate_query(const ValueMaps& maps, const Bitmap& base, const QueryExpr& expr) {
    return std::visit(
        [&](const auto& n) -> Bitmap {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, q::Ne>) {
                Bitmap r = base.clone();
                r.andnot_inplace(evaluate_query(maps, base, QueryExpr{q::Eq{n.attr, n.value}}));
                return r;
            } else if constexpr (std::is_same_v<N, q::Not>) {
                Bitmap r = base.clone();
                r.andnot_inplace(evaluate_query(maps, base, *n.inner));
                return r;
            } else if constexpr (std::is_same_v<N, q::In>) {
                Bitmap r;
                for (const Operand& v : n.values) {
                    Bitmap t = evaluate_query(maps, base, QueryExpr{q::Eq{n.attr, v}});
                    t.and_inplace(base);
                    r.or_inplace(t);
                }
                return r;
            } else if constexpr (std::is_same_v<N, q::And>) {
                return evaluate_and_queries_vec(maps, base, n.parts);
            } else if constexpr (std::is_same_v<N, q::Or>) {
                Bitmap r;
                for (const QueryExpr& part : n.parts) r.or_inplace(evaluate_query(maps, base, part));
                return r;
            } else {
                return evaluate_path_node(maps, base, expr);
            }
        },
        expr.node);
}

Bitmap evaluate_and_queries_vec(const ValueMaps& maps, const Bitmap& base, std::span<const QueryExpr> exprs) {
    Bitmap r = base.clone();
    std::vector<const QueryExpr*> order;
    order.reserve(exprs.size());
    for (const QueryExpr& e : exprs) order.push_back(&e);
    std::stable_sort(order.begin(), order.end(),
                     [](const QueryExpr* a, const QueryExpr* b) { return cost_rank(*a) < cost_rank(*b); });
    for (const QueryExpr* e : order) r.and_inplace(evaluate_query(maps, r, *e));
    return r;
}

}  // namespace vorlane

#pragma once
// The query tree every search is evaluated from, its text form and attribute paths.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "index/structures/small_string.hpp"
#include "index/engine/value.hpp"

namespace vorlane {

// An attribute path as the user wrote it, dots included.
using Path = SmallString;

struct QueryExpr;

namespace q {
// Nodes comparing one attribute with one value share a layout; the tag keeps them distinct.
template <int Tag>
struct AttrValue {
    Path attr;
    Operand value;
};
using Eq = AttrValue<0>;
using Ne = AttrValue<1>;
struct Not {
    Not(QueryExpr inner);
    Not(const Not& other);
    Not(Not&&) noexcept = default;
    Not& operator=(const Not&) = delete;
    Not& operator=(Not&&) noexcept = default;
    ~Not();
    std::unique_ptr<QueryExpr> inner;
};
struct In {
    Path attr;
    std::vector<Operand> values;
};
struct And {
    std::vector<QueryExpr> parts;
};
struct Or {
    std::vector<QueryExpr> parts;
};
using Gt = AttrValue<6>;
using Ge = AttrValue<7>;
using Lt = AttrValue<8>;
using Le = AttrValue<9>;
struct Bt {
    Path attr;
    Operand low;
    Operand high;
};
using StartsWi = AttrValue<11>;
using EndsWi = AttrValue<12>;
using Contains = AttrValue<13>;
}  // namespace q

// Alternatives in declared order; copying a node is a deep copy.
struct QueryExpr {
    using Node = std::variant<q::Eq, q::Ne, q::Not, q::In, q::And, q::Or, q::Gt, q::Ge, q::Lt, q::Le, q::Bt,
                              q::StartsWi, q::EndsWi, q::Contains>;
    Node node;

    QueryExpr clone() const { return *this; }
    const char* variant_name() const noexcept;
    // One-line text form: Eq("age", PyValue { ... }).
    std::string debug_text() const;
    // Multi-line text form: one field per indented line.
    std::string debug_text_pretty() const;
};

// Splits a path at its first dot: (head, rest), rest absent when there is no dot.
std::pair<Path, std::optional<Path>> attr_parts(const Path& path);

}  // namespace vorlane

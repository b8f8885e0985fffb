#include "index/engine/query_ops.hpp"

#include "index/structures/float_text.hpp"

namespace vorlane {

namespace q {
Not::Not(QueryExpr inner) : inner(std::make_unique<QueryExpr>(std::move(inner))) {}
Not::Not(const Not& other) : inner(std::make_unique<QueryExpr>(*other.inner)) {}
Not::~Not() = default;
}  // namespace q

namespace {

constexpr const char* kVariantNames[] = {"Eq", "Ne", "Not", "In",      "And",    "Or",     "Gt",
                                         "Ge", "Lt", "Le",  "Bt", "StartsWi", "EndsWi", "Contains"};

// Renders a node's fields either on one line or one per indented line.
class Renderer {
public:
    explicit Renderer(bool pretty) : pretty_(pretty) {}

    std::string node(const QueryExpr& expr, int depth) {
        std::vector<std::string> fields;
        std::visit([&](const auto& n) { collect(n, depth + 1, fields); }, expr.node);
        return std::string(expr.variant_name()) + wrap('(', fields, ')', depth);
    }

private:
    template <int Tag>
    void collect(const q::AttrValue<Tag>& n, int, std::vector<std::string>& out) {
        out.push_back(quoted_text(n.attr.view()));
        out.push_back(n.value.debug_text());
    }
    void collect(const q::Not& n, int depth, std::vector<std::string>& out) { out.push_back(node(*n.inner, depth)); }
    void collect(const q::In& n, int depth, std::vector<std::string>& out) {
        out.push_back(quoted_text(n.attr.view()));
        std::vector<std::string> values;
        for (const Operand& v : n.values) values.push_back(v.debug_text());
        out.push_back(wrap('[', values, ']', depth));
    }
    void collect(const q::And& n, int depth, std::vector<std::string>& out) { out.push_back(parts(n.parts, depth)); }
    void collect(const q::Or& n, int depth, std::vector<std::string>& out) { out.push_back(parts(n.parts, depth)); }
    void collect(const q::Bt& n, int, std::vector<std::string>& out) {
        out.push_back(quoted_text(n.attr.view()));
        out.push_back(n.low.debug_text());
        out.push_back(n.high.debug_text());
    }

    std::string parts(const std::vector<QueryExpr>& exprs, int depth) {
        std::vector<std::string> items;
        for (const QueryExpr& e : exprs) items.push_back(node(e, depth + 1));
        return wrap('[', items, ']', depth);
    }

    std::string wrap(char open, const std::vector<std::string>& items, char close, int depth) const {
        std::string out(1, open);
        if (!pretty_) {
            for (size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : ", ") + items[i];
            return out + close;
        }
        if (items.empty()) return out + close;
        const std::string inner(static_cast<size_t>(depth + 1) * 4, ' ');
        for (const std::string& item : items) out += "\n" + inner + item + ",";
        return out + "\n" + std::string(static_cast<size_t>(depth) * 4, ' ') + close;
    }

    bool pretty_;
};

}  // namespace

const char* QueryExpr::variant_name() const noexcept { return kVariantNames[node.index()]; }

std::string QueryExpr::debug_text() const { return Renderer(false).node(*this, 0); }
std::string QueryExpr::debug_text_pretty() const { return Renderer(true).node(*this, 0); }

std::pair<Path, std::optional<Path>> attr_parts(const Path& path) {
    const std::string_view text = path.view();
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos) return {path, std::nullopt};
    return {Path(text.substr(0, dot)), Path(text.substr(dot + 1))};
}

}  // namespace vorlane

#include "index/interfaces/query.hpp"

#include <new>

#include "index/engine/query.hpp"
#include "index/interfaces/types.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/convert.hpp"

namespace vorlane {

namespace {

using py::PyRef;

PyObject* wrap(QueryExpr expr) {
    PyTypeObject* type = query_expr_type();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw py::PyErrAlreadySet();
    new (&reinterpret_cast<PyQueryExprObject*>(self)->expr) QueryExpr(std::move(expr));
    return self;
}

// The operand of a test on `path`: a value that cannot be converted names the path.
Operand value_argument(const Path& path, PyObject* obj) {
    return py::converting_attribute(path.view(), [&] { return operand_from_python(PyRef::borrow(obj)); });
}

// A range's operand must have an order: a value matched by identity (None, an
// object, bytes, ...) would match nothing in silence.
void require_order(const char* fname, const char* param, const Operand& operand, PyObject* obj) {
    if (operand.kind() != Kind::Ind && operand.kind() != Kind::Unknown) return;
    py::raise(PyExc_TypeError, std::string(fname) + "() " + param + ": values of type '" + Py_TYPE(obj)->tp_name +
                                   "' have no order (they match by identity); ranges take numbers, dates, times "
                                   "and durations");
}

// eq, ne, gt, ge, lt, le, starts_with, ends_with, contains: (attr, value).
template <class Node, py::FixedName Name>
PyObject* attr_value_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [attr, value] = py::bind_args<2>(Name.text, {"attr", "value"}, args, nargs, kwnames);
        Path path(py::str_argument("attr", attr));
        Operand operand = value_argument(path, value);
        if constexpr (std::is_same_v<Node, q::Gt> || std::is_same_v<Node, q::Ge> || std::is_same_v<Node, q::Lt> ||
                      std::is_same_v<Node, q::Le>) {
            require_order(Name.text, "value", operand, value);
        }
        return wrap(QueryExpr{Node{std::move(path), std::move(operand)}});
    });
}

PyObject* bt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [attr, lower, upper] = py::bind_args<3>("bt", {"attr", "lower", "upper"}, args, nargs, kwnames);
        Path path(py::str_argument("attr", attr));
        Operand low = value_argument(path, lower);
        Operand high = value_argument(path, upper);
        require_order("bt", "lower", low, lower);
        require_order("bt", "upper", high, upper);
        // Bounds of two kinds that never compare (a number and a date, a naive
        // and an aware datetime) would bound nothing.
        const auto low_key = number_key(low);
        const auto high_key = number_key(high);
        if (low_key && high_key && key_region(*low_key) != key_region(*high_key)) {
            py::raise(PyExc_TypeError, std::string("bt() bounds do not compare: '") + Py_TYPE(lower)->tp_name +
                                           "' and '" + Py_TYPE(upper)->tp_name +
                                           "' (naive and aware values are different kinds)");
        }
        return wrap(QueryExpr{q::Bt{std::move(path), std::move(low), std::move(high)}});
    });
}

PyObject* in_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [attr, values] = py::bind_args<2>("in_", {"attr", "values"}, args, nargs, kwnames);
        Path path(py::str_argument("attr", attr));
        if (PyUnicode_Check(values) || !PySequence_Check(values)) {
            py::raise_argument_type("values", "a sequence that is not a str", values);
        }
        // Collect the items first: converting may run Python code that changes the sequence.
        PyRef items = PyRef::checked(PySequence_List(values));
        std::vector<Operand> converted;
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        converted.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) converted.push_back(value_argument(path, PyList_GET_ITEM(items.get(), i)));
        return wrap(QueryExpr{q::In{std::move(path), std::move(converted)}});
    });
}

std::vector<QueryExpr> expr_arguments(const char* name, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        py::raise(PyExc_TypeError, std::string(name) + "() takes no keyword arguments");
    }
    std::vector<QueryExpr> parts;
    parts.reserve(static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) parts.push_back(query_expr_argument("exprs", args[i]).clone());
    return parts;
}

PyObject* and_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object(
        [&] { return wrap(QueryExpr{q::And{expr_arguments("and_", args, nargs, kwnames)}}); });
}

PyObject* or_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object(
        [&] { return wrap(QueryExpr{q::Or{expr_arguments("or_", args, nargs, kwnames)}}); });
}

PyObject* not_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [exprs] = py::bind_args<1>("not_", {"exprs"}, args, nargs, kwnames);
        return wrap(QueryExpr{q::Not(query_expr_argument("exprs", exprs).clone())});
    });
}

PyObject* query_repr(PyObject* self) {
    return py::guarded_object([&] {
        const std::string text = "<QueryExpr: " + reinterpret_cast<PyQueryExprObject*>(self)->expr.debug_text() + ">";
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    });
}

void query_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyQueryExprObject*>(self)->expr.~QueryExpr();
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

template <class Node, py::FixedName Name>
constexpr PyMethodDef attr_value_def(const char* signature) {
    return {Name.text, py::method_ptr(attr_value_method<Node, Name>), kStatic, signature};
}

PyMethodDef kMethods[] = {
    attr_value_def<q::Eq, "eq">("eq(attr, value)\n--\n\n"),
    attr_value_def<q::Ne, "ne">("ne(attr, value)\n--\n\n"),
    attr_value_def<q::Gt, "gt">("gt(attr, value)\n--\n\n"),
    attr_value_def<q::Ge, "ge">("ge(attr, value)\n--\n\n"),
    attr_value_def<q::Le, "le">("le(attr, value)\n--\n\n"),
    {"bt", py::method_ptr(bt), kStatic, "bt(attr, lower, upper)\n--\n\n"},
    attr_value_def<q::Lt, "lt">("lt(attr, value)\n--\n\n"),
    {"in_", py::method_ptr(in_), kStatic, "in_(attr, values)\n--\n\n"},
    {"and_", py::method_ptr(and_), kStatic, "and_(*exprs)\n--\n\n"},
    {"or_", py::method_ptr(or_), kStatic, "or_(*exprs)\n--\n\n"},
    {"not_", py::method_ptr(not_), kStatic, "not_(exprs)\n--\n\n"},
    attr_value_def<q::StartsWi, "starts_with">("starts_with(attr, value)\n--\n\n"),
    attr_value_def<q::EndsWi, "ends_with">("ends_with(attr, value)\n--\n\n"),
    attr_value_def<q::Contains, "contains">("contains(attr, value)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const QueryExpr& query_expr_argument(const char* param, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, query_expr_type())) py::raise_argument_type(param, "PyQueryExpr", obj);
    return reinterpret_cast<PyQueryExprObject*>(obj)->expr;
}

PyTypeObject* create_query_expr_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("")},
        {Py_tp_methods, kMethods},
        {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc)},
        {0, nullptr},
    };
    return make_type("PyVorlane.PyQueryExpr", sizeof(PyQueryExprObject), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
}

std::vector<std::pair<Path, Operand>> kwargs_to_query(PyObject* kwnames, PyObject* const* values) {
    std::vector<std::pair<Path, Operand>> out;
    const Py_ssize_t n = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(kwnames, i), &size);
        if (utf8 == nullptr) throw py::PyErrAlreadySet();
        Path path(std::string_view(utf8, static_cast<size_t>(size)));
        Operand operand = py::converting_attribute(path.view(), [&] { return operand_from_python(py::PyRef::borrow(values[i])); });
        out.emplace_back(std::move(path), std::move(operand));
    }
    return out;
}


std::vector<QueryExpr> keyword_filters(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname) {
    py::refuse_positional(fname, nargs);
    std::vector<QueryExpr> filters;
    for (auto& [path, value] : kwargs_to_query(kwnames, args)) {
        filters.push_back(QueryExpr{q::Eq{std::move(path), std::move(value)}});
    }
    return filters;
}

}  // namespace vorlane

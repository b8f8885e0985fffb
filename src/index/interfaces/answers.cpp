#include "index/interfaces/answers.hpp"

#include <limits>
#include <string>

#include "index/structures/string_interner.hpp"
#include "index/interfaces/membership.hpp"
#include "index/interfaces/time_value.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/boundary.hpp"
#include "python/gil.hpp"

namespace vorlane {

const char* const kOrderByDoc =
    "order_by($self, attr, *, descending=False, limit=None)\n--\n\n"
    "The objects ordered by their current value of `attr`.\n\n"
    "Numbers come first (ints and floats in one numeric order), then dates,\n"
    "naive datetimes, aware datetimes, naive times, aware times and durations,\n"
    "each kind in its own order, then strings in code point order; objects whose\n"
    "value is of another kind (a bool, NaN or NaT, a container, an object), or\n"
    "that lack the attribute, come last in collect() order. Ties keep collect()\n"
    "order. `descending` reverses the order of the values within each kind only.\n"
    "With `limit`, only the first `limit` objects are returned, at a cost that\n"
    "follows the limit rather than the size of the set. Along a dotted path an\n"
    "object sorts by the least value its path reaches (the greatest when\n"
    "descending); one that reaches none comes last.";
const char* const kCountByDoc =
    "count_by($self, attr, /)\n--\n\n"
    "For each value of `attr`, how many of the objects hold it, most common first.\n\n"
    "Returns a list of (value, count) pairs. Ties come in value order: numbers\n"
    "ascending, dates and times kind by kind, strings in code point order, False,\n"
    "True, then objects. A list, tuple or set counts each distinct element once\n"
    "per object. Equal numbers are one entry (3 and 3.0 count as 3): an int when\n"
    "integral, else a float. Booleans stay apart from 0 and 1. Indexable values\n"
    "count by identity; other kinds, NaN and NaT are left out. Along a dotted\n"
    "path an object counts once for each distinct value its path reaches.";
const char* const kMinDoc =
    "min($self, attr, /)\n--\n\n"
    "The smallest number among the objects' values of `attr` (container elements\n"
    "included; booleans are not numbers here), an int when integral; without\n"
    "numbers, the smallest value of the first kind of date, datetime, time or\n"
    "duration held; None when there is none.";
const char* const kMaxDoc =
    "max($self, attr, /)\n--\n\n"
    "The largest number among the objects' values of `attr` (container elements\n"
    "included; booleans are not numbers here), an int when integral; without\n"
    "numbers, the largest value of the first kind of date, datetime, time or\n"
    "duration held; None when there is none.";
const char* const kSumDoc =
    "sum($self, attr, /)\n--\n\n"
    "The sum of the numbers among the objects' values of `attr` (container\n"
    "elements included; booleans, strings, dates and NaN are not numbers here):\n"
    "an exact int when every number is integral, else a float rounded once, as\n"
    "math.fsum rounds (inf where that is beyond the largest float); 0 when there\n"
    "is none.";
const char* const kMeanDoc =
    "mean($self, attr, /)\n--\n\n"
    "The mean of the numbers `sum` adds up, a float: their exact sum over their\n"
    "number, rounded once; None when there is none.";

AttrPath attribute_argument(const char* fname, PyObject* attr) {
    const std::string_view name = py::str_argument("attr", attr);
    AttrPath path;
    path.text.assign(name);
    StrInterner& names = StrInterner::global();
    for (size_t start = 0;;) {
        const size_t dot = name.find('.', start);
        const std::string_view part = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (part.empty()) {
            py::raise(PyExc_ValueError, std::string(fname) + "() takes an attribute name or a dotted path of names, not '" +
                                            std::string(name) + "'");
        }
        path.steps.push_back(names.intern(part));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return path;
}

namespace {

PyObject* number_to_python(const NumberValue& n) {
    switch (n.form) {
        case NumberValue::Form::Int: return PyLong_FromLongLong(n.integer);
        case NumberValue::Form::WholeFloat: return PyLong_FromDouble(n.real);
        case NumberValue::Form::Float: return PyFloat_FromDouble(n.real);
    }
    return nullptr;
}

// A number, or a date, time or duration, from its order key.
py::PyRef key_to_python(const OrderKey& key) {
    if (is_time_key(key)) return time_key_to_python(key);
    return py::PyRef::checked(number_to_python(number_of_key(key)));
}

}  // namespace

RwLock<ItemTable>::ReadGuard read_items(const IndexAPI& core) {
    return py::lock_with_gil([&] { return core.items->try_read(); }, [&] { return core.items->read(); });
}

PyObject* scope_order_by(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        const IndexAPI& core = scope.core;
        const Bitmap* base = scope.base;
        auto [attr, descending_arg, limit_arg] =
            py::bind_some_args<1, 3>("order_by", {"attr", "descending", "limit"}, args, nargs, kwnames);
        int descending = 0;
        if (descending_arg != nullptr && (descending = PyObject_IsTrue(descending_arg)) < 0) throw py::PyErrAlreadySet();
        const AttrPath path = attribute_argument("order_by", attr);
        size_t limit = std::numeric_limits<size_t>::max();
        if (limit_arg != nullptr && limit_arg != Py_None) {
            if (!PyLong_Check(limit_arg) || PyBool_Check(limit_arg)) {
                py::raise_argument_type("limit", "int or None", limit_arg);
            }
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(limit_arg, &overflow);
            if (n == -1 && PyErr_Occurred()) throw py::PyErrAlreadySet();
            if (overflow < 0 || (overflow == 0 && n < 0)) {
                py::raise(PyExc_ValueError, "order_by() limit must not be negative");
            }
            if (overflow == 0) limit = static_cast<size_t>(n);
        }
        const std::vector<uint32_t> ids =
            py::without_gil([&] { return core.order_by(path, descending != 0, limit, base); });
        return collect_items(*core.items, std::span<const uint32_t>(ids));
    });
}

py::PyRef counted_to_python(const ItemTable& items, const CountedValue& c) {
    switch (c.kind) {
        case CountedValue::Kind::Number: return key_to_python(c.key);
        case CountedValue::Kind::Str:
            return py::PyRef::checked(
                PyUnicode_DecodeUTF8(c.text.data(), static_cast<Py_ssize_t>(c.text.size()), "surrogatepass"));
        case CountedValue::Kind::Bool: return py::PyRef::borrow(c.flag ? Py_True : Py_False);
        case CountedValue::Kind::Object: {
            const StoredItem* record = items.find(c.object);
            return record == nullptr ? py::PyRef() : py::PyRef::borrow(record->py_item.get());
        }
    }
    return py::PyRef();
}

PyObject* count_list(const Scope& scope, const AttrPath& path) {
    const std::vector<CountedValue> counts = py::without_gil([&] { return scope.core.count_by(path, scope.base); });
    py::PyRef list = py::PyRef::checked(PyList_New(0));
    auto items = read_items(scope.core);
    for (const CountedValue& c : counts) {
        py::PyRef value = counted_to_python(*items, c);
        if (!value) continue;  // an object let go of meanwhile
        py::PyRef count = py::PyRef::checked(PyLong_FromUnsignedLongLong(c.count));
        py::PyRef pair = py::PyRef::checked(PyTuple_Pack(2, value.get(), count.get()));
        if (PyList_Append(list.get(), pair.get()) != 0) throw py::PyErrAlreadySet();
    }
    return list.release();
}

PyObject* scope_count_by(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [attr] = py::bind_args<1>("count_by", {"attr"}, args, nargs, kwnames);
        return count_list(scope, attribute_argument("count_by", attr));
    });
}

namespace {

PyObject* extreme(const Scope& scope, bool largest, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        const IndexAPI& core = scope.core;
        const Bitmap* base = scope.base;
        const char* fname = largest ? "max" : "min";
        auto [attr] = py::bind_args<1>(fname, {"attr"}, args, nargs, kwnames);
        const AttrPath path = attribute_argument(fname, attr);
        const std::optional<OrderKey> key = py::without_gil([&] { return core.extreme(path, largest, base); });
        return extreme_to_python(key).release();
    });
}

}  // namespace

PyObject* scope_min(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extreme(scope, false, args, nargs, kwnames);
}

PyObject* scope_max(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return extreme(scope, true, args, nargs, kwnames);
}

namespace {

// A sum of ints in 128 bits as a Python int.
py::PyRef int128_to_python(__int128 v) {
    const bool negative = v < 0;
    const unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    py::PyRef high = py::PyRef::checked(PyLong_FromUnsignedLongLong(static_cast<uint64_t>(magnitude >> 64)));
    py::PyRef low = py::PyRef::checked(PyLong_FromUnsignedLongLong(static_cast<uint64_t>(magnitude)));
    py::PyRef shift = py::PyRef::checked(PyLong_FromLong(64));
    py::PyRef shifted = py::PyRef::checked(PyNumber_Lshift(high.get(), shift.get()));
    py::PyRef out = py::PyRef::checked(PyNumber_Or(shifted.get(), low.get()));
    if (negative) out = py::PyRef::checked(PyNumber_Negative(out.get()));
    return out;
}

NumberTotal total_argument(const Scope& scope, const char* fname, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    auto [attr] = py::bind_args<1>(fname, {"attr"}, args, nargs, kwnames);
    const AttrPath path = attribute_argument(fname, attr);
    return py::without_gil([&] { return scope.core.total(path, scope.base); });
}

}  // namespace

py::PyRef sum_to_python(const NumberTotal& total) {
    if (!total.any_float) return int128_to_python(total.int_sum());
    return py::PyRef::checked(PyFloat_FromDouble(total.float_sum()));
}

py::PyRef mean_to_python(const NumberTotal& total) {
    if (total.count == 0) return py::PyRef::borrow(Py_None);
    // The exact sum over the count, rounded once: for ints what Python's int
    // division gives, for floats the mean of the exact sum.
    return py::PyRef::checked(PyFloat_FromDouble(total.mean()));
}

py::PyRef extreme_to_python(const std::optional<OrderKey>& key) {
    return key ? key_to_python(*key) : py::PyRef::borrow(Py_None);
}

PyObject* scope_sum(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] { return sum_to_python(total_argument(scope, "sum", args, nargs, kwnames)).release(); });
}

PyObject* scope_mean(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] { return mean_to_python(total_argument(scope, "mean", args, nargs, kwnames)).release(); });
}

}  // namespace vorlane

// Answers by group: the groups are the values count_by gives, in its order,
// each with the objects holding it (the engine's groups); the answer over a
// group is the one the whole set would give (sum, mean, min, max).
#include "index/interfaces/groups.hpp"

#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "index/interfaces/answers.hpp"
#include "index/interfaces/args.hpp"
#include "index/interfaces/boundary.hpp"
#include "index/interfaces/convert.hpp"
#include "index/interfaces/types.hpp"
#include "python/gil.hpp"

namespace vorlane {

const char* const kGroupByDoc =
    "group_by($self, attr, /)\n--\n\n"
    "The objects grouped by their values of `attr`, as count_by groups them: an\n"
    "object whose count(), sum(a), mean(a), min(a) and max(a) give (group value,\n"
    "result) pairs in count_by's order. The answers read the objects' current\n"
    "values when they are asked. `attr` and `a` may be dotted paths.";

namespace {

struct PyGroupByObject {
    PyObject_HEAD
    std::shared_ptr<const IndexAPI> core;
    std::optional<Bitmap> base;  // a view's set; none: the core's members
    PyObject* owner;             // the Index of the core (a strong reference), or null
    AttrPath path;
};

PyGroupByObject* as_group_by(PyObject* self) { return reinterpret_cast<PyGroupByObject*>(self); }

Scope scope_of(PyObject* self) {
    PyGroupByObject* g = as_group_by(self);
    return Scope{*g->core, g->base ? &*g->base : nullptr, g->owner};
}

// The groups, in count_by's order: each value with the objects of the set
// that hold it.
struct Groups {
    std::vector<CountedValue> values;
    std::vector<Bitmap> ids;
};

Groups groups_of(PyObject* self) {
    const Scope scope = scope_of(self);
    const AttrPath& path = as_group_by(self)->path;
    auto found = py::without_gil([&] { return scope.core.groups(path, scope.base); });
    Groups out;
    out.values.reserve(found.size());
    out.ids.reserve(found.size());
    for (auto& [value, ids] : found) {
        out.values.push_back(std::move(value));
        out.ids.push_back(std::move(ids));
    }
    return out;
}

// The pairs (group value, result(i)) as a new list, for each group i.
template <class Fn>
PyObject* pairs_of(PyObject* self, const Groups& groups, Fn&& result) {
    const Scope scope = scope_of(self);
    py::PyRef list = py::PyRef::checked(PyList_New(0));
    for (size_t i = 0; i < groups.values.size(); ++i) {
        py::PyRef group_value = counted_to_python(*read_items(scope.core), groups.values[i]);
        if (!group_value) continue;  // an object let go of meanwhile
        py::PyRef r = result(i);
        py::PyRef pair = py::PyRef::checked(PyTuple_Pack(2, group_value.get(), r.get()));
        if (PyList_Append(list.get(), pair.get()) != 0) throw py::PyErrAlreadySet();
    }
    return list.release();
}

// fn(the group's ids) for each group, in count_by's order,
// and the pairs (group value, what fn gives) as a new list.
template <class Fn>
PyObject* per_group(PyObject* self, Fn&& fn) {
    const Groups groups = groups_of(self);
    return pairs_of(self, groups, [&](size_t i) { return fn(groups.ids[i]); });
}

// Each group's total of `of`, all at once.
std::vector<NumberTotal> group_totals(PyObject* self, const Groups& groups, const AttrPath& of) {
    const IndexAPI& core = *as_group_by(self)->core;
    return py::without_gil([&] { return core.totals(of, groups.ids); });
}

// The attribute an aggregate reads: a str naming one attribute or a dotted path.
AttrPath aggregated(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [attr] = py::bind_args<1>(fname, {"attr"}, args, nargs, kwnames);
    return attribute_argument(fname, attr);
}

PyObject* group_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        // count() or count(attr): `attr` may be given positionally or by keyword.
        PyObject* attr = nullptr;
        if (nargs == 0) {
            attr = py::bind_some_args<0, 1>("count", {"attr"}, args, nargs, kwnames)[0];
        } else {
            attr = py::bind_args<1>("count", {"attr"}, args, nargs, kwnames)[0];
        }
        if (attr == nullptr || attr == Py_None) {
            // The objects of each group: count_by's counts, with no group made.
            return count_list(scope_of(self), as_group_by(self)->path);
        }
        const AttrPath of = attribute_argument("count", attr);
        const Groups groups = groups_of(self);
        const std::vector<NumberTotal> totals = group_totals(self, groups, of);
        return pairs_of(self, groups, [&](size_t i) {
            return py::PyRef::checked(PyLong_FromUnsignedLongLong(totals[i].count));
        });
    });
}

template <bool kMean>
PyObject* group_total(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        const AttrPath of = aggregated(kMean ? "mean" : "sum", args, nargs, kwnames);
        const Groups groups = groups_of(self);
        const std::vector<NumberTotal> totals = group_totals(self, groups, of);
        return pairs_of(self, groups, [&](size_t i) {
            return kMean ? mean_to_python(totals[i]) : sum_to_python(totals[i]);
        });
    });
}

template <bool kLargest>
PyObject* group_extreme(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        const AttrPath of = aggregated(kLargest ? "max" : "min", args, nargs, kwnames);
        const IndexAPI& core = *as_group_by(self)->core;
        return per_group(self, [&](const Bitmap& ids) {
            const std::optional<OrderKey> key = py::without_gil([&] { return core.extreme(of, kLargest, &ids); });
            return extreme_to_python(key);
        });
    });
}

PyObject* group_by_repr(PyObject* self) {
    return py::guarded_object([&] {
        const std::string& name = as_group_by(self)->path.text;
        return PyUnicode_FromFormat("<GroupBy %.*s>", static_cast<int>(name.size()), name.data());
    });
}

int group_by_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_group_by(self)->owner);
    return 0;
}

int group_by_clear(PyObject* self) {
    Py_CLEAR(as_group_by(self)->owner);
    return 0;
}

void group_by_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    PyGroupByObject* g = as_group_by(self);
    Py_CLEAR(g->owner);
    g->core.~shared_ptr();
    g->base.~optional();
    g->path.~AttrPath();
    type->tp_free(self);
    Py_DECREF(type);
    py::release_pending();
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef kMethods[] = {
    {"count", py::method_ptr(group_count), kFastKw,
     "count($self, attr=None, /)\n--\n\n"
     "(group value, the number of objects in the group) pairs; with `attr`, the\n"
     "number of the group's numbers of `attr` that sum and mean take in."},
    {"sum", py::method_ptr(group_total<false>), kFastKw, "sum($self, attr, /)\n--\n\n(group value, sum) pairs."},
    {"mean", py::method_ptr(group_total<true>), kFastKw, "mean($self, attr, /)\n--\n\n(group value, mean) pairs."},
    {"min", py::method_ptr(group_extreme<false>), kFastKw, "min($self, attr, /)\n--\n\n(group value, min) pairs."},
    {"max", py::method_ptr(group_extreme<true>), kFastKw, "max($self, attr, /)\n--\n\n(group value, max) pairs."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_group_by_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Answers by group, made by group_by(attr).")},
        {Py_tp_methods, kMethods},
        {Py_tp_repr, reinterpret_cast<void*>(group_by_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(group_by_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(group_by_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(group_by_clear)},
        {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
        {0, nullptr},
    };
    return make_type("PyVorlane.GroupBy", sizeof(PyGroupByObject),
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                     slots);
}

PyObject* scope_group_by(const Scope& scope, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&] {
        auto [attr] = py::bind_args<1>("group_by", {"attr"}, args, nargs, kwnames);
        AttrPath path = attribute_argument("group_by", attr);
        PyTypeObject* type = group_by_type();
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) throw py::PyErrAlreadySet();
        PyGroupByObject* g = as_group_by(self);
        new (&g->core) std::shared_ptr<const IndexAPI>(scope.core.shared_from_this());
        new (&g->base) std::optional<Bitmap>();
        if (scope.base != nullptr) g->base.emplace(scope.base->clone());
        g->owner = Py_XNewRef(scope.owner);
        new (&g->path) AttrPath(std::move(path));
        return self;
    });
}

}  // namespace vorlane

#pragma once
// The value answers of Index and FilteredIndex (order_by, count_by, min, max,
// sum, mean), and the pieces the answers by group share with them.
#include <optional>
#include <utility>
#include <vector>

#include "index/interfaces/shared_methods.hpp"

namespace vorlane {

// The attribute an `attr` argument of `fname` names: a str holding one
// attribute name or a dotted path of them (TypeError otherwise; ValueError for
// an empty name in it).
AttrPath attribute_argument(const char* fname, PyObject* attr);

// count_by's answer over the scope: a new list of (value, count) pairs.
PyObject* count_list(const Scope& scope, const AttrPath& path);

// The core's records, read-locked with the interpreter lock held.
RwLock<ItemTable>::ReadGuard read_items(const IndexAPI& core);

// A value count_by gives, as a Python object; null for a nested object no
// longer stored.
py::PyRef counted_to_python(const ItemTable& items, const CountedValue& value);

// The Python results of a total and of an extreme, as sum, mean, min and max give them.
py::PyRef sum_to_python(const NumberTotal& total);
py::PyRef mean_to_python(const NumberTotal& total);
py::PyRef extreme_to_python(const std::optional<OrderKey>& key);

}  // namespace vorlane

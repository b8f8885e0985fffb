#pragma once
// The value answers of Index and FilteredIndex (order_by, count_by, min, max,
// sum, mean), and the pieces the answers by group share with them.
#include <optional>
#include <utility>
#include <vector>

#include "index/interfaces/shared_methods.hpp"

namespace vorlane {

// The attribute id of an `attr` argument of `fname`: a str naming one attribute
// (TypeError otherwise; ValueError for a dotted path).
uint32_t attribute_argument(const char* fname, PyObject* attr);

// The values count_by gives for `attr` over the scope, as Python objects, with
// their counts, in count_by's order.
std::vector<std::pair<py::PyRef, uint64_t>> counted_values(const Scope& scope, uint32_t attr_id);

// The Python results of a total and of an extreme, as sum, mean, min and max give them.
py::PyRef sum_to_python(const NumberTotal& total);
py::PyRef mean_to_python(const NumberTotal& total);
py::PyRef extreme_to_python(const std::optional<OrderKey>& key);

}  // namespace vorlane

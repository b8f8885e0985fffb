#pragma once
// Write: an attribute assignment, carried to every index that stores the object.
#include <optional>

#include "index/engine/record.hpp"

namespace vorlane {

// Assigns `value` to attribute `attr_id` of the object: every index that stores
// it takes the new value (and any nested objects it brings or lets go of)
// before the object does. `prepared` holds the value's converted container
// elements. Called with the interpreter lock held; it is released while an
// index is updated. Returns the value replaced, for the caller to release.
std::optional<PyValue> write_attribute(const Indexable& record, uint32_t attr_id, PyValue value,
                                       const PreparedElements& prepared);

}  // namespace vorlane

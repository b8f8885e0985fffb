#pragma once
// The index's record of one stored object.
#include <memory>

#include "index/indexable.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

struct StoredItem {
    // The Python object as it was added; `collect` hands these back.
    std::optional<py::SharedPyRef> py_item;
    // The object's native state, shared, with owns_id false.
    std::shared_ptr<Indexable> item;

    // Vacant positions of an items vector hold empty records: they cost two null
    // handles and no allocation, and no allowed id ever points at one.
    bool vacant() const noexcept { return !py_item.has_value(); }
};

using ItemsVec = std::vector<StoredItem>;
using SharedItems = std::shared_ptr<RwLock<ItemsVec>>;

}  // namespace vorlane

#pragma once
// The links from an object to the indexes that store it (its index list): a
// write reaches each index in the list once. The engine keeps them: every
// road that stores an object registers it, every road that lets it go trims it.
#include <memory>

#include "index/engine/record.hpp"

namespace vorlane {

// Records that `core` stores the object: appends the link, drops dead and
// placeholder links, and keeps the list sorted by core address. Returns the
// list still locked: a caller that enters the object's values holds it until
// they are in, so that an assignment cannot slip in between (index list, then
// attributes: the order an assignment takes).
[[nodiscard]] Mutex<IndexList>::Guard register_index(const Indexable& record, const std::weak_ptr<IndexAPI>& core);

// Appends a link to `core` to a held index list, drops dead and placeholder
// links, and keeps the list sorted by core address.
void add_index_link(IndexList& list, const std::weak_ptr<IndexAPI>& core);

// Removes from `list` every link whose core is gone, is `index`, or is the placeholder index.
void trim_indexes(IndexList& list, const IndexAPI* index);

}  // namespace vorlane

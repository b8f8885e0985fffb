#pragma once
// The Indexable type: its slots, and readying an object for an index.
#include "index/engine/record.hpp"

namespace vorlane {

// Readies an object for an index that is about to store it, with the
// interpreter lock held: lists it (mark_listed), so that from now on a write
// takes the road that tells its indexes; then converts the elements of every
// container it holds (see check_elements), so that adding it fails before any
// index changes, and records them in `prepared` as the containers of its next
// object. Every road that stores an object comes here first.
void prepare_for_index(const Indexable& record, PreparedElements& prepared);

PyTypeObject* create_indexable_type();

}  // namespace vorlane

#pragma once
// What the engine asks of the layer that converts Python values, which sets it
// when the module is made, before any index exists: the engine itself never
// reads a Python object into a value.
#include <vector>

#include "index/engine/record.hpp"

namespace vorlane {

struct Conversion {
    // The elements of a container as values, in order. Interpreter lock held.
    std::vector<PyValue> (*elements)(const PyIterable& container) = nullptr;
    // Readies an object for an index about to store it: lists it and converts
    // the elements of its containers into `prepared`. Interpreter lock held.
    void (*prepare)(const Indexable& record, PreparedElements& prepared) = nullptr;
};

inline Conversion g_conversion;

}  // namespace vorlane

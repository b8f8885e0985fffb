#pragma once
// What an index reports to Python's cycle collector: the objects it alone
// holds. Every object an index stores is held through one Python reference
// shared by all the handles indexes keep on it (see ObjectHandle), so the
// index may report it only when its own record is the only handle; an object
// any other index or operation holds stays reachable for that reason alone.
#include <Python.h>

#include <cstdint>
#include <vector>

namespace vorlane {

struct IndexAPI;

// The objects one Index reports. The collector traverses an object several
// times in one collection and must meet the same references each time, while
// other threads may change the index meanwhile: the list is made on the first
// traversal of a collection and kept until references are let go of with the
// interpreter lock held, or the collection ends. Interpreter lock held.
class CollectorView {
public:
    CollectorView() = default;
    CollectorView(const CollectorView&) = delete;
    CollectorView& operator=(const CollectorView&) = delete;
    ~CollectorView();

    int traverse(const IndexAPI& core, visitproc visit, void* arg);
    // Forgets the list (the core changes, or the collection ended).
    void forget() noexcept;

private:
    std::vector<PyObject*> held_;
    uint64_t epoch_ = 0;
    bool made_ = false;
};

// Registers the module with the cycle collector's callbacks, so that lists
// made for one collection are let go of when it ends. Interpreter lock held.
void watch_collections();

}  // namespace vorlane

#include "index/interfaces/collector.hpp"

#include <algorithm>

#include "index/engine/index.hpp"
#include "index/engine/record.hpp"
#include "index/interfaces/boundary.hpp"
#include "python/py_ref.hpp"

namespace vorlane {

namespace {

// Moves at the start and the end of every collection. Interpreter lock held.
uint64_t g_collections = 0;
// The views holding a list: emptied when a collection ends.
std::vector<CollectorView*>& holding_lists() {
    static auto* views = new std::vector<CollectorView*>();
    return *views;
}

uint64_t current_epoch() noexcept { return g_collections + py::release_epoch(); }

PyObject* on_collection(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    ++g_collections;
    if (nargs >= 1 && PyUnicode_Check(args[0]) && PyUnicode_CompareWithASCIIString(args[0], "stop") == 0) {
        std::vector<CollectorView*> views;
        views.swap(holding_lists());
        for (CollectorView* view : views) view->forget();
    }
    Py_RETURN_NONE;
}

PyMethodDef kOnCollection = {"_on_collection", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_collection)),
                             METH_FASTCALL, nullptr};

}  // namespace

CollectorView::~CollectorView() { forget(); }

void CollectorView::forget() noexcept {
    if (!made_) return;
    made_ = false;
    std::vector<PyObject*>().swap(held_);
    auto& views = holding_lists();
    views.erase(std::remove(views.begin(), views.end(), this), views.end());
}

int CollectorView::traverse(const IndexAPI& core, visitproc visit, void* arg) {
    const uint64_t epoch = current_epoch();
    if (!made_ || epoch_ != epoch) {
        held_.clear();
        // A thread changing the records now leaves the list empty: the
        // objects then stay reachable, and a later collection reports them.
        if (!core.items->is_poisoned()) {
            if (auto items = core.items->try_read()) {
                (*items)->for_each_record([&](const StoredItem& item) {
                    PyObject* obj = item.py_item.get();
                    if (indexable_record(obj).engine_handles() == 1) held_.push_back(obj);
                });
            }
        }
        if (!made_) holding_lists().push_back(this);
        made_ = true;
        epoch_ = epoch;
    }
    for (PyObject* obj : held_) Py_VISIT(obj);
    return 0;
}

void watch_collections() {
    py::PyRef gc = py::PyRef::checked(PyImport_ImportModule("gc"));
    py::PyRef callbacks = py::PyRef::checked(PyObject_GetAttrString(gc.get(), "callbacks"));
    py::PyRef callback = py::PyRef::checked(PyCFunction_New(&kOnCollection, nullptr));
    if (PyList_Append(callbacks.get(), callback.get()) < 0) throw py::PyErrAlreadySet();
}

}  // namespace vorlane

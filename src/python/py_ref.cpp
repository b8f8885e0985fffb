#include "python/py_ref.hpp"

#include <mutex>
#include <vector>


namespace vorlane::py {

PyRef PyRef::checked(PyObject* obj) {
    if (obj == nullptr) throw PyErrAlreadySet();
    return PyRef(obj);
}

namespace {

std::atomic<bool> g_pending_nonempty{false};
uint64_t g_release_epoch = 0;  // interpreter lock held

std::mutex& pending_mutex() {
    static auto* m = new std::mutex();  // never destroyed: used until the process ends
    return *m;
}
std::vector<PyObject*>& pending_list() {
    static auto* v = new std::vector<PyObject*>();
    return *v;
}

}  // namespace

SharedPyRef::SharedPyRef(PyRef ref) : block_(new Block{{1}, ref.release()}) {}

void SharedPyRef::destroy(Block* block) noexcept {
    PyObject* obj = block->obj;
    delete block;
    release_reference(obj);
}

uint64_t release_epoch() noexcept { return g_release_epoch; }

void release_reference(PyObject* obj) noexcept {
    if (obj == nullptr) return;
    if (Py_IsInitialized() && PyGILState_Check()) {
        ++g_release_epoch;
        Py_DECREF(obj);
        return;
    }
    std::lock_guard lock(pending_mutex());
    pending_list().push_back(obj);
    g_pending_nonempty.store(true, std::memory_order_release);
}

void release_pending() noexcept {
    // Releasing may free objects whose own release lands here again (a chain of
    // objects, each holding the next): the outermost call on the thread takes
    // what they add in its next round, so the stack does not grow with the chain.
    thread_local bool draining = false;
    // The shared flag first: every call into the module ends here, and a
    // thread-local costs a call in a shared library.
    if (!g_pending_nonempty.load(std::memory_order_acquire) || draining) return;
    draining = true;
    for (;;) {
        std::vector<PyObject*> batch;
        {
            std::lock_guard lock(pending_mutex());
            batch.swap(pending_list());
            g_pending_nonempty.store(false, std::memory_order_release);
        }
        if (batch.empty()) break;
        ++g_release_epoch;
        for (PyObject* obj : batch) Py_DECREF(obj);
    }
    draining = false;
}

}  // namespace vorlane::py

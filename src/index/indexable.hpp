#pragma once
// Indexable: the Python base class of every object an index can hold. Its
// attributes live in native storage as PyValues under interned attribute ids.
#include <Python.h>

#include <cstdint>
#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/core/structures/locks.hpp"
#include "index/hybrid_hashmap.hpp"
#include "index/value.hpp"

namespace vorlane {

struct IndexAPI;  // the core of an index (core/index.hpp)

// A link to an index that holds the object; it never keeps the index alive.
using IndexMeta = std::weak_ptr<IndexAPI>;
using IndexList = std::vector<IndexMeta>;
using AttributeMap = HybridHashmap<uint32_t, PyValue>;

inline constexpr const char* kCannotReadIndexable = "cannot read from indexable";

// The native record of one object, inside the Python object: indexes and
// nested values reach it through a reference to that object, which keeps it
// alive. The id goes back to the allocator with the object.
struct Indexable {
    mutable Mutex<IndexList> indexes;
    mutable Mutex<AttributeMap> attributes;
    uint32_t id;
    // Handles the engine holds on the object (ObjectHandle): together they own
    // one Python reference, so a stored record costs a pointer, not a block.
    mutable std::atomic<uint32_t> engine_refs{0};

    // Takes a fresh id.
    explicit Indexable(AttributeMap attributes);
    Indexable(const Indexable&) = delete;
    Indexable& operator=(const Indexable&) = delete;
    ~Indexable();

    // The attribute storage, locked. Only for threads that do not hold the
    // interpreter lock, or that cannot be waiting on it.
    Mutex<AttributeMap>::Guard get_py_values() const { return attributes.lock(kCannotReadIndexable); }
};

struct PyIndexableObject {
    PyObject_HEAD
    Indexable record;
};

// The record of an object known to be an Indexable (or subclass) instance.
inline const Indexable& indexable_record(PyObject* obj) { return reinterpret_cast<PyIndexableObject*>(obj)->record; }

// A counted handle on an Indexable object that threads copy and drop without
// the interpreter lock. The first handle takes one Python reference (with the
// lock held: from_python) and the last gives it up (release_reference); the
// handles in between only count, in the object's own record.
class ObjectHandle {
public:
    ObjectHandle() noexcept = default;
    // `obj` must be an Indexable; the interpreter lock must be held.
    static ObjectHandle from_python(PyObject* obj) noexcept {
        if (indexable_record(obj).engine_refs.fetch_add(1, std::memory_order_relaxed) == 0) Py_INCREF(obj);
        return ObjectHandle(obj);
    }
    ObjectHandle(const ObjectHandle& other) noexcept : obj_(other.obj_) {
        if (obj_ != nullptr) indexable_record(obj_).engine_refs.fetch_add(1, std::memory_order_relaxed);
    }
    ObjectHandle(ObjectHandle&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    ObjectHandle& operator=(ObjectHandle other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~ObjectHandle() {
        if (obj_ != nullptr && indexable_record(obj_).engine_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            py::release_reference(obj_);
        }
    }

    explicit operator bool() const noexcept { return obj_ != nullptr; }
    PyObject* get() const noexcept { return obj_; }
    const Indexable& record() const noexcept { return indexable_record(obj_); }
    // A new strong reference; the interpreter lock must be held.
    py::PyRef to_owned() const noexcept { return py::PyRef::borrow(obj_); }

private:
    explicit ObjectHandle(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// The attribute storage locked by a thread that holds the interpreter lock:
// waits, if it must, with the interpreter lock released.
Mutex<AttributeMap>::Guard lock_attributes_with_gil(const Indexable& record);

// Converts the elements of every container the object holds (see
// check_elements), so that adding it fails before any index changes, and records
// them in `prepared` as the containers of its next object. Interpreter lock held.
void check_container_attributes(const Indexable& record, PreparedElements& prepared);

// "IndexAPI { id: 5, attributes: Mutex { data: {...}, poisoned: false, .. } }"; never blocks.
std::string debug_record(const Indexable& record);

PyTypeObject* create_indexable_type();

}  // namespace vorlane

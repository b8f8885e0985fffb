#pragma once
// Ownership of Python references, visible in every signature:
//  - PyRef: one strong reference, move-only, used only with the interpreter lock held.
//  - SharedPyRef: a strong reference shared across threads through an atomic count.
//    The engine copies and drops these without the interpreter lock; the last
//    release then queues the reference, and the boundary releases the queue the
//    next time it holds the lock.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

namespace vorlane::py {

// Thrown when a Python error is set and the call must unwind to the boundary.
struct PyErrAlreadySet {};

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef tmp(std::move(other));
        std::swap(obj_, tmp.obj_);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    // Takes over a new reference (may be null, e.g. a failed call).
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }
    // Steals a new reference that must not be null: null means a Python error is set.
    static PyRef checked(PyObject* obj);

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller (a Python API that steals, or a return value).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    PyRef copy() const noexcept { return borrow(obj_); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

class SharedPyRef {
public:
    // An empty handle.
    SharedPyRef() noexcept : block_(nullptr) {}
    // Takes over one strong reference; the interpreter lock must be held.
    explicit SharedPyRef(PyRef ref);
    SharedPyRef(const SharedPyRef& other) noexcept : block_(other.block_) {
        if (block_ != nullptr) block_->count.fetch_add(1, std::memory_order_relaxed);
    }
    SharedPyRef(SharedPyRef&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    SharedPyRef& operator=(SharedPyRef other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~SharedPyRef() {
        if (block_ != nullptr && block_->count.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(block_);
    }

    explicit operator bool() const noexcept { return block_ != nullptr; }
    // The object; the handle must not be empty.
    PyObject* get() const noexcept { return block_->obj; }
    // A new strong reference; the interpreter lock must be held.
    PyRef to_owned() const noexcept { return PyRef::borrow(block_->obj); }
    // Two handles of one sharing (copies of each other), not merely the same object.
    bool same_handle(const SharedPyRef& other) const noexcept { return block_ == other.block_; }
    // What copies of one handle share, and no other handle has while they live.
    const void* identity() const noexcept { return block_; }

    // The handle as one machine word (its block's address, 8-byte aligned, so
    // a holder may use the low bit as a tag), and what can be done with such a
    // word: take it back as a handle, add a copy's count, drop one, read the object.
    uintptr_t into_word() && noexcept { return reinterpret_cast<uintptr_t>(std::exchange(block_, nullptr)); }
    static SharedPyRef from_word(uintptr_t word) noexcept {
        SharedPyRef ref;
        ref.block_ = reinterpret_cast<Block*>(word);
        return ref;
    }
    static void copy_word(uintptr_t word) noexcept {
        reinterpret_cast<Block*>(word)->count.fetch_add(1, std::memory_order_relaxed);
    }
    static void drop_word(uintptr_t word) noexcept { (void)from_word(word); }
    static PyObject* object_of_word(uintptr_t word) noexcept { return reinterpret_cast<Block*>(word)->obj; }

private:
    struct alignas(8) Block {
        std::atomic<uint64_t> count;
        PyObject* obj;
    };
    static void destroy(Block* block) noexcept;
    Block* block_;
};

// Releases the references queued by threads that dropped them without the
// interpreter lock. Call with the lock held; cheap when the queue is empty.
void release_pending() noexcept;

// A count that grows each time references are let go of with the interpreter
// lock held (read and grown only with the lock held): what an object reports to
// the cycle collector may have changed since it last moved.
uint64_t release_epoch() noexcept;

// Gives up one strong reference from any thread: at once when this thread holds
// the interpreter lock, otherwise through the queue release_pending empties.
void release_reference(PyObject* obj) noexcept;

}  // namespace vorlane::py

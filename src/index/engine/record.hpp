#pragma once
// Indexable: the Python base class of every object an index can hold. Its
// attributes live in native storage as PyValues under interned attribute ids.
#include <cstdint>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/structures/locks.hpp"
#include "index/structures/shaped_map.hpp"
#include "index/engine/value.hpp"

namespace vorlane {

struct IndexAPI;  // the core of an index (core/index.hpp)

// A link to an index that holds the object; it never keeps the index alive.
using IndexMeta = std::weak_ptr<IndexAPI>;
// An object's links to the indexes that store it: one pointer in the object,
// and one block on the heap (its size, its capacity and the links) once the
// object has a link, so that reaching the links costs one cache miss.
class IndexList {
public:
    IndexList() noexcept = default;
    IndexList(const IndexList&) = delete;
    IndexList& operator=(const IndexList&) = delete;
    ~IndexList() { release(); }

    bool empty() const noexcept { return size() == 0; }
    size_t size() const noexcept { return block_ == nullptr ? 0 : block_->size; }
    const IndexMeta* begin() const noexcept { return block_ == nullptr ? nullptr : links(block_); }
    const IndexMeta* end() const noexcept { return begin() + size(); }
    IndexMeta* begin() noexcept { return block_ == nullptr ? nullptr : links(block_); }
    IndexMeta* end() noexcept { return begin() + size(); }
    IndexMeta& operator[](size_t i) noexcept { return links(block_)[i]; }
    // Starts fetching the links into the cache, for a caller about to reach them.
    void prefetch() const noexcept {
        if (block_ != nullptr) __builtin_prefetch(block_, 1);
    }
    void push_back(IndexMeta link) {
        if (block_ == nullptr || block_->size == block_->capacity) grow();
        new (links(block_) + block_->size) IndexMeta(std::move(link));
        ++block_->size;
    }
    // Removes every link for which pred(link) holds; an emptied list frees its block.
    template <class Pred>
    void erase_if(Pred&& pred) {
        if (block_ == nullptr) return;
        IndexMeta* first = links(block_);
        IndexMeta* kept = first;
        for (IndexMeta* at = first; at != first + block_->size; ++at) {
            if (pred(*at)) continue;
            if (kept != at) *kept = std::move(*at);
            ++kept;
        }
        for (IndexMeta* at = kept; at != first + block_->size; ++at) at->~IndexMeta();
        block_->size = static_cast<uint32_t>(kept - first);
        if (block_->size == 0) release();
    }

private:
    struct Header {
        uint32_t size;
        uint32_t capacity;
    };
    static_assert(sizeof(Header) % alignof(IndexMeta) == 0, "links follow the header");
    static IndexMeta* links(Header* block) noexcept { return reinterpret_cast<IndexMeta*>(block + 1); }
    static const IndexMeta* links(const Header* block) noexcept { return reinterpret_cast<const IndexMeta*>(block + 1); }

    void grow() {
        const uint32_t capacity = block_ == nullptr ? 1 : block_->capacity * 2;
        auto* fresh = static_cast<Header*>(::operator new(sizeof(Header) + capacity * sizeof(IndexMeta)));
        fresh->size = 0;
        fresh->capacity = capacity;
        if (block_ != nullptr) {
            for (IndexMeta& link : *this) {
                new (links(fresh) + fresh->size) IndexMeta(std::move(link));
                ++fresh->size;
            }
            release();
        }
        block_ = fresh;
    }
    void release() noexcept {
        if (block_ == nullptr) return;
        for (IndexMeta& link : *this) link.~IndexMeta();
        ::operator delete(block_);
        block_ = nullptr;
    }

    Header* block_ = nullptr;
};
using AttributeMap = ShapedMap<PyValue>;

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
    // The top bit is kListed.
    mutable std::atomic<uint32_t> engine_refs{0};
    // Set, for good, with the interpreter lock held, before any index reads the
    // object's values (the interfaces' prepare_for_index). Until then only threads holding the
    // interpreter lock touch the storage, and a write stores its value with no
    // lock and no index to tell.
    static constexpr uint32_t kListed = 1U << 31;

    uint32_t engine_handles() const noexcept { return engine_refs.load(std::memory_order_acquire) & ~kListed; }
    bool is_listed() const noexcept { return (engine_refs.load(std::memory_order_acquire) & kListed) != 0; }
    void mark_listed() const noexcept { engine_refs.fetch_or(kListed, std::memory_order_acq_rel); }

    // Takes a fresh id.
    explicit Indexable(AttributeMap attributes);
    Indexable(const Indexable&) = delete;
    Indexable& operator=(const Indexable&) = delete;
    ~Indexable();

    // The attribute storage, locked. Only for threads that do not hold the
    // interpreter lock, or that cannot be waiting on it.
    Mutex<AttributeMap>::Guard get_py_values() const { return attributes.lock(kCannotReadIndexable); }

    // The attribute storage for a thread that holds the interpreter lock, with
    // no lock taken: the storage changes only with both the interpreter lock and
    // its own lock held, so such a thread excludes every writer, and the threads
    // holding the lock without the interpreter lock only read. Null once the lock
    // is poisoned (the caller then takes the lock, which reports it).
    const AttributeMap* values_with_gil() const noexcept {
#ifdef Py_GIL_DISABLED
        return nullptr;  // no interpreter lock to rely on: readers lock
#else
        return attributes.is_poisoned() ? nullptr : &attributes.unlocked_value();
#endif
    }
};

struct PyIndexableObject {
    PyObject_HEAD
    Indexable record;
};

// The record of an object known to be an Indexable (or subclass) instance.
inline const Indexable& indexable_record(PyObject* obj) { return reinterpret_cast<PyIndexableObject*>(obj)->record; }


// The attribute storage locked by a thread that holds the interpreter lock:
// waits, if it must, with the interpreter lock released. For sections that
// only read, copy or move values (no internal error can leave them).
Mutex<AttributeMap>::Guard lock_attributes_with_gil(const Indexable& record);

// "IndexAPI { id: 5, attributes: Mutex { data: {...}, poisoned: false, .. } }"; never blocks.
std::string debug_record(const Indexable& record);

}  // namespace vorlane

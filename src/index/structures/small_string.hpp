#pragma once
// An immutable UTF-8 string in 16 bytes: stored inline up to 15 bytes, in one
// shared, reference-counted heap buffer beyond; copies of a long string share
// the buffer.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "index/structures/heap_bytes.hpp"

namespace vorlane {

// Releases what a kept string keeps (see SmallString::kept); set once by the
// layer that makes such strings, before the first one is made.
inline void (*g_release_string_keeper)(void*) noexcept = nullptr;

class SmallString {
public:
    static constexpr size_t kInlineCapacity = 15;

    SmallString() noexcept { clear(); }
    explicit SmallString(std::string_view text) {
        if (text.size() <= kInlineCapacity) {
            clear();
            std::memcpy(raw_, text.data(), text.size());
            set_inline_size(text.size());
        } else {
            set_heap(new_heap(text));
        }
    }
    // A long-form string that also keeps `keeper` (one reference the string
    // takes over) until its last copy goes: the object a value was made from,
    // when reading it back must give that object.
    static SmallString kept(std::string_view text, void* keeper) {
        SmallString out;
        out.set_heap(new_heap(text));
        out.heap()->keeper = keeper;
        return out;
    }
    // What the string keeps, or null.
    void* keeper() const noexcept { return is_inline() ? nullptr : heap()->keeper; }

    SmallString(const SmallString& other) noexcept {
        std::memcpy(raw_, other.raw_, sizeof raw_);
        if (!is_inline()) heap()->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SmallString(SmallString&& other) noexcept {
        std::memcpy(raw_, other.raw_, sizeof raw_);
        other.clear();
    }
    SmallString& operator=(SmallString other) noexcept {
        swap(other);
        return *this;
    }
    ~SmallString() {
        if (is_inline()) return;
        Heap* h = heap();
        if (h->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            if (h->keeper != nullptr) g_release_string_keeper(h->keeper);
            h->~Heap();
            std::free(h);
        }
    }

    void swap(SmallString& other) noexcept {
        unsigned char tmp[sizeof raw_];
        std::memcpy(tmp, raw_, sizeof raw_);
        std::memcpy(raw_, other.raw_, sizeof raw_);
        std::memcpy(other.raw_, tmp, sizeof raw_);
    }

    std::string_view view() const noexcept {
        if (is_inline()) return {reinterpret_cast<const char*>(raw_), raw_[kTagByte]};
        const Heap* h = heap();
        return {h->bytes(), h->size};
    }
    size_t size() const noexcept { return is_inline() ? raw_[kTagByte] : heap()->size; }
    bool empty() const noexcept { return size() == 0; }
    bool is_inline() const noexcept { return raw_[kTagByte] != kHeapTag; }
    // The heap buffer of a long string (see heap_bytes.hpp); copies sharing
    // it each report it.
    size_t memory_bytes() const noexcept {
        return is_inline() ? 0 : heap_chunk(sizeof(Heap) + heap()->size);
    }
    // True when both strings hold the same heap buffer (long strings only).
    bool shares_buffer_with(const SmallString& other) const noexcept {
        return !is_inline() && !other.is_inline() && heap() == other.heap();
    }

    // The address of the heap buffer of a long string (copies share it), or null.
    const void* buffer() const noexcept { return is_inline() ? nullptr : heap(); }
    // A hash of the string's sixteen bytes, and their comparison: an inline
    // string's unused bytes are always zero, so equal short strings have equal
    // bytes, and a long string's bytes are its buffer's address.
    uint64_t bytes_hash() const noexcept {
        uint64_t w[2];
        std::memcpy(w, raw_, sizeof w);
        return (w[0] ^ (w[1] * 0x9E3779B97F4A7C15ULL)) * 0xC2B2AE3D27D4EB4FULL;
    }
    bool same_bytes(const SmallString& other) const noexcept { return std::memcmp(raw_, other.raw_, sizeof raw_) == 0; }

    friend bool operator==(const SmallString& a, const SmallString& b) noexcept { return a.view() == b.view(); }

private:
    struct Heap {
        std::atomic<uint32_t> refs;
        size_t size;
        void* keeper;
        char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
        const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
    };
    // The last byte holds the inline length, or kHeapTag when the first bytes
    // hold the heap buffer's address.
    static constexpr size_t kTagByte = 15;
    static constexpr unsigned char kHeapTag = 0xFF;

    static Heap* new_heap(std::string_view text) {
        void* mem = std::malloc(sizeof(Heap) + text.size());
        if (mem == nullptr) throw std::bad_alloc();
        Heap* heap = new (mem) Heap{{1}, text.size(), nullptr};
        std::memcpy(heap->bytes(), text.data(), text.size());
        return heap;
    }
    void set_inline_size(size_t n) noexcept { raw_[kTagByte] = static_cast<unsigned char>(n); }
    void clear() noexcept { std::memset(raw_, 0, sizeof raw_); }
    void set_heap(Heap* h) noexcept {
        clear();
        std::memcpy(raw_, &h, sizeof h);
        raw_[kTagByte] = kHeapTag;
    }
    Heap* heap() const noexcept {
        Heap* h;
        std::memcpy(&h, raw_, sizeof h);
        return h;
    }

    alignas(8) unsigned char raw_[16];
};

static_assert(sizeof(SmallString) == 16);

}  // namespace vorlane

#pragma once
// An immutable UTF-8 string stored inline up to 23 bytes and in one shared,
// reference-counted heap buffer beyond; copies of a long string share the buffer.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace vorlane {

class SmallString {
public:
    static constexpr size_t kInlineCapacity = 23;

    SmallString() noexcept : size_(0) { inline_[0] = '\0'; }
    explicit SmallString(std::string_view text) : size_(text.size()) {
        if (size_ <= kInlineCapacity) {
            std::memcpy(inline_, text.data(), size_);
        } else {
            void* mem = std::malloc(sizeof(Heap) + size_);
            if (mem == nullptr) throw std::bad_alloc();
            heap_ = new (mem) Heap{};
            std::memcpy(heap_->bytes(), text.data(), size_);
        }
    }
    SmallString(const SmallString& other) noexcept : size_(other.size_) {
        if (is_inline()) {
            std::memcpy(inline_, other.inline_, size_);
        } else {
            heap_ = other.heap_;
            heap_->refs.fetch_add(1, std::memory_order_relaxed);
        }
    }
    SmallString(SmallString&& other) noexcept : size_(other.size_) {
        if (is_inline()) {
            std::memcpy(inline_, other.inline_, size_);
        } else {
            heap_ = other.heap_;
            other.size_ = 0;
        }
    }
    SmallString& operator=(SmallString other) noexcept {
        swap(other);
        return *this;
    }
    ~SmallString() {
        if (!is_inline() && heap_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            heap_->~Heap();
            std::free(heap_);
        }
    }

    void swap(SmallString& other) noexcept {
        SmallString* a = this;
        SmallString* b = &other;
        char tmp[sizeof(SmallString)];
        std::memcpy(tmp, static_cast<void*>(a), sizeof(SmallString));
        std::memcpy(static_cast<void*>(a), static_cast<void*>(b), sizeof(SmallString));
        std::memcpy(static_cast<void*>(b), tmp, sizeof(SmallString));
    }

    std::string_view view() const noexcept {
        return {is_inline() ? inline_ : heap_->bytes(), size_};
    }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool is_inline() const noexcept { return size_ <= kInlineCapacity; }
    // True when both strings hold the same heap buffer (long strings only).
    bool shares_buffer_with(const SmallString& other) const noexcept {
        return !is_inline() && !other.is_inline() && heap_ == other.heap_;
    }

    friend bool operator==(const SmallString& a, const SmallString& b) noexcept { return a.view() == b.view(); }

private:
    struct Heap {
        std::atomic<uint32_t> refs{1};
        char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
    };

    size_t size_;
    union {
        char inline_[kInlineCapacity + 1];
        Heap* heap_;
    };
};

}  // namespace vorlane

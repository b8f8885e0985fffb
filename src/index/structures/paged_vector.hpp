#pragma once
// A growing array in pages that double in size: appending never moves what is
// already there, so a table of millions of entries grows without copying itself
// (and without touching twice its memory) at each doubling, references stay
// valid, and a small one takes a small first page.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace vorlane {

template <class T, unsigned FirstBits = 4>
class PagedVector {
public:
    static constexpr size_t kFirstPage = size_t{1} << FirstBits;

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    T& operator[](size_t i) noexcept { return at(i); }
    const T& operator[](size_t i) const noexcept { return const_cast<PagedVector&>(*this).at(i); }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        // Page p holds entries from 2^(p+F) - 2^F on, 2^(p+F) of them: a new
        // page starts where size + 2^F is a power of two.
        const size_t shifted = size_ + kFirstPage;
        if (std::has_single_bit(shifted) && page_of(shifted) == pages_.size()) {
            pages_.push_back(std::make_unique_for_overwrite<Slot[]>(shifted));
        }
        T* made = ::new (static_cast<void*>(&slot(size_))) T(std::forward<Args>(args)...);
        ++size_;
        return *made;
    }

    template <class Fn>
    void for_each(Fn&& fn) const {
        for (size_t i = 0; i < size_; ++i) fn((*this)[i]);
    }

    // The pages' bytes and the page table's.
    size_t memory_bytes() const noexcept {
        const size_t slots = pages_.empty() ? 0 : (kFirstPage << pages_.size()) - kFirstPage;
        return slots * sizeof(T) + pages_.capacity() * sizeof(std::unique_ptr<Slot[]>);
    }

    PagedVector() = default;
    PagedVector(const PagedVector&) = delete;
    PagedVector& operator=(const PagedVector&) = delete;
    PagedVector(PagedVector&& other) noexcept
        : pages_(std::move(other.pages_)), size_(std::exchange(other.size_, 0)) {}
    PagedVector& operator=(PagedVector&& other) noexcept {
        if (this != &other) {
            clear();
            pages_ = std::move(other.pages_);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~PagedVector() { clear(); }

    void clear() noexcept {
        for (size_t i = size_; i > 0; --i) at(i - 1).~T();
        size_ = 0;
        pages_.clear();
    }

private:
    // Raw storage for one T: pages are allocated without constructing their slots.
    struct Slot {
        alignas(T) unsigned char bytes[sizeof(T)];
    };

    static size_t page_of(size_t shifted) noexcept { return static_cast<size_t>(std::bit_width(shifted)) - 1 - FirstBits; }
    Slot& slot(size_t i) noexcept {
        const size_t shifted = i + kFirstPage;
        const size_t page = page_of(shifted);
        return pages_[page][shifted - (kFirstPage << page)];
    }
    T& at(size_t i) noexcept { return *std::launder(reinterpret_cast<T*>(slot(i).bytes)); }

    std::vector<std::unique_ptr<Slot[]>> pages_;
    size_t size_ = 0;
};

}  // namespace vorlane

#pragma once
// A map from 32-bit id to 32-bit id stored in pages of 4096 slots, allocated as
// ids arrive. Synthetic element ids come from one process-wide counter, so the
// ids one map holds cluster in runs: a lookup is two array reads, and memory is
// four bytes an id where ids are dense and one page per run where they are not.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vorlane {

class PagedIdMap {
public:
    static constexpr uint32_t kNone = 0;  // no value maps to 0: the allocator never hands it out

    // Sets the value of `key` (`value` must not be kNone); true when the key was new.
    bool insert(uint32_t key, uint32_t value) {
        const size_t page = key >> kPageBits;
        if (pages_.size() <= page) pages_.resize(page + 1);
        if (!pages_[page]) pages_[page] = std::make_unique<Page>();
        uint32_t& slot = (*pages_[page])[key & kPageMask];
        const bool fresh = slot == kNone;
        slot = value;
        size_ += fresh ? 1 : 0;
        return fresh;
    }
    // kNone when absent.
    uint32_t find(uint32_t key) const noexcept {
        const size_t page = key >> kPageBits;
        if (page >= pages_.size() || !pages_[page]) return kNone;
        return (*pages_[page])[key & kPageMask];
    }
    void erase(uint32_t key) noexcept {
        const size_t page = key >> kPageBits;
        if (page >= pages_.size() || !pages_[page]) return;
        uint32_t& slot = (*pages_[page])[key & kPageMask];
        if (slot != kNone) {
            slot = kNone;
            --size_;
        }
    }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

private:
    static constexpr unsigned kPageBits = 12;
    static constexpr uint32_t kPageMask = (1U << kPageBits) - 1;
    using Page = std::array<uint32_t, size_t{1} << kPageBits>;

    std::vector<std::unique_ptr<Page>> pages_;
    size_t size_ = 0;
};

}  // namespace vorlane

#pragma once
// A map from 32-bit id to 32-bit id in pages of 256 slots, allocated as ids
// arrive, found through blocks of 256 page pointers (one block per 65,536 ids).
// Synthetic element ids come from one process-wide counter, so the ids one map
// holds cluster in runs: memory is four bytes an id where ids are dense, and a
// kilobyte page (plus a share of a two-kilobyte block) per id where they are
// spread over the whole id range, as the holders of a small index are.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "index/structures/heap_bytes.hpp"

namespace vorlane {

class PagedIdMap {
public:
    static constexpr uint32_t kNone = 0;  // no value maps to 0: the allocator never hands it out

    // Sets the value of `key` (`value` must not be kNone); true when the key was new.
    bool insert(uint32_t key, uint32_t value) {
        const size_t block = key >> (kPageBits + kBlockBits);
        if (blocks_.size() <= block) blocks_.resize(block + 1);
        if (!blocks_[block]) blocks_[block] = std::make_unique<Block>();
        auto& page = (*blocks_[block])[(key >> kPageBits) & kBlockMask];
        if (!page) page = std::make_unique<Page>();
        uint32_t& slot = (*page)[key & kPageMask];
        const bool fresh = slot == kNone;
        slot = value;
        size_ += fresh ? 1 : 0;
        return fresh;
    }
    // kNone when absent.
    uint32_t find(uint32_t key) const noexcept {
        const uint32_t* slot = slot_of(key);
        return slot == nullptr ? kNone : *slot;
    }
    // out[i] = find(keys[i]) for a block of keys (kNone where absent). Each
    // slot is fetched before any is read, so the cache misses of a block of
    // scattered keys overlap instead of coming one after another.
    void find_many(std::span<const uint32_t> keys, uint32_t* out) const noexcept {
        constexpr size_t kBlock = 256;
        const uint32_t* slots[kBlock];
        for (size_t from = 0; from < keys.size(); from += kBlock) {
            const size_t n = std::min(kBlock, keys.size() - from);
            for (size_t i = 0; i < n; ++i) {
                slots[i] = slot_of(keys[from + i]);
                if (slots[i] != nullptr) __builtin_prefetch(slots[i]);
            }
            for (size_t i = 0; i < n; ++i) out[from + i] = slots[i] == nullptr ? kNone : *slots[i];
        }
    }
    void erase(uint32_t key) noexcept {
        uint32_t* slot = const_cast<uint32_t*>(slot_of(key));
        if (slot != nullptr && *slot != kNone) {
            *slot = kNone;
            --size_;
        }
    }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // The block vector, blocks and pages (see heap_bytes.hpp). A page stays
    // allocated when its keys are erased.
    size_t memory_bytes() const noexcept {
        size_t n = vector_bytes(blocks_);
        for (const auto& block : blocks_) {
            if (!block) continue;
            n += heap_chunk(sizeof(Block));
            for (const auto& page : *block) n += page ? heap_chunk(sizeof(Page)) : 0;
        }
        return n;
    }

private:
    static constexpr unsigned kPageBits = 8;
    static constexpr unsigned kBlockBits = 8;
    static constexpr uint32_t kPageMask = (1U << kPageBits) - 1;
    static constexpr uint32_t kBlockMask = (1U << kBlockBits) - 1;
    using Page = std::array<uint32_t, size_t{1} << kPageBits>;
    using Block = std::array<std::unique_ptr<Page>, size_t{1} << kBlockBits>;

    const uint32_t* slot_of(uint32_t key) const noexcept {
        const size_t block = key >> (kPageBits + kBlockBits);
        if (block >= blocks_.size() || !blocks_[block]) return nullptr;
        const auto& page = (*blocks_[block])[(key >> kPageBits) & kBlockMask];
        return page ? &(*page)[key & kPageMask] : nullptr;
    }

    std::vector<std::unique_ptr<Block>> blocks_;
    size_t size_ = 0;
};

}  // namespace vorlane

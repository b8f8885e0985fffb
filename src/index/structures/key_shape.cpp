#include "index/structures/key_shape.hpp"

#include <bit>
#include <mutex>

namespace vorlane {

namespace {

std::mutex& tree_mutex() {
    static auto* m = new std::mutex();  // used until the process ends
    return *m;
}

uint32_t slot_of(uint32_t key, uint32_t mask) noexcept {
    return static_cast<uint32_t>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
}

}  // namespace

KeyShape::KeyShape(std::vector<uint32_t> keys, bool shared) : keys_(std::move(keys)), shared_(shared) {
    if (size() > kLinearKeys) rebuild_index();
}

KeyShape::~KeyShape() {
    // Only private tables are ever destroyed; they have no children.
    const Child* child = children_.load(std::memory_order_acquire);
    while (child != nullptr) {
        const Child* next = child->next;
        delete child;
        child = next;
    }
}

const KeyShape* KeyShape::root() noexcept {
    static const KeyShape* empty = new KeyShape({}, true);  // shared tables are never freed
    return empty;
}

std::optional<uint32_t> KeyShape::find_indexed(uint32_t key) const noexcept {
    for (uint32_t slot = slot_of(key, index_mask_);; slot = (slot + 1) & index_mask_) {
        const uint32_t entry = index_[slot];
        if (entry == 0) return std::nullopt;
        if (keys_[entry - 1] == key) return entry - 1;
    }
}

void KeyShape::rebuild_index() {
    const uint32_t slots = std::bit_ceil(size() * 2);
    index_mask_ = slots - 1;
    index_ = std::make_unique<uint32_t[]>(slots);  // zeroed
    for (uint32_t position = 0; position < size(); ++position) {
        uint32_t slot = slot_of(keys_[position], index_mask_);
        while (index_[slot] != 0) slot = (slot + 1) & index_mask_;
        index_[slot] = position + 1;
    }
}

const KeyShape* KeyShape::shared_child(uint32_t key) const {
    if (!shared_) return nullptr;
    for (const Child* c = children_.load(std::memory_order_acquire); c != nullptr; c = c->next) {
        if (c->key == key) return c->shape;
    }
    if (size() >= kMaxSharedKeys) return nullptr;
    std::lock_guard lock(tree_mutex());
    for (const Child* c = children_.load(std::memory_order_acquire); c != nullptr; c = c->next) {
        if (c->key == key) return c->shape;  // made meanwhile
    }
    if (child_count_ >= kMaxChildren) return nullptr;
    std::vector<uint32_t> keys;
    keys.reserve(keys_.size() + 1);
    keys.assign(keys_.begin(), keys_.end());
    keys.push_back(key);
    const KeyShape* shape = new KeyShape(std::move(keys), true);
    children_.store(new Child{key, shape, children_.load(std::memory_order_relaxed)}, std::memory_order_release);
    ++child_count_;
    return shape;
}

std::unique_ptr<KeyShape> KeyShape::private_copy() const {
    return std::unique_ptr<KeyShape>(new KeyShape(keys_, false));
}

void KeyShape::append(uint32_t key) {
    keys_.push_back(key);
    if (size() > kLinearKeys && (index_ == nullptr || size() * 2 > index_mask_ + 1)) {
        rebuild_index();
        return;
    }
    if (index_ != nullptr) {
        uint32_t slot = slot_of(key, index_mask_);
        while (index_[slot] != 0) slot = (slot + 1) & index_mask_;
        index_[slot] = size();
    }
}

}  // namespace vorlane

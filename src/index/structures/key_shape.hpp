#pragma once
// Key tables shared by the maps that hold the same keys, entered in the same
// order: a map keeps a pointer to its table and an array of values, so a
// thousand objects of one class carry their attribute names once between them.
// Tables form a tree: the empty table at the root, and under each table one
// child per key entered next. Shared tables live as long as the process and
// never change once made, so threads read them without locking.
//
// A map whose keys outgrow what sharing pays for (a table of more than
// kMaxSharedKeys keys, or a table with kMaxChildren children already: objects
// given names no other object has) gets a private table, which it owns and
// extends in place.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vorlane {

class KeyShape {
public:
    static constexpr uint32_t kMaxSharedKeys = 96;
    static constexpr uint32_t kMaxChildren = 256;

    // The shared empty table.
    static const KeyShape* root() noexcept;

    uint32_t size() const noexcept { return static_cast<uint32_t>(keys_.size()); }
    uint32_t key(uint32_t position) const noexcept { return keys_[position]; }
    bool is_shared() const noexcept { return shared_; }

    // The position of `key`, if the table holds it.
    std::optional<uint32_t> find(uint32_t key) const noexcept {
        if (index_ == nullptr) {
            const uint32_t n = size();
            for (uint32_t i = 0; i < n; ++i) {
                if (keys_[i] == key) return i;
            }
            return std::nullopt;
        }
        return find_indexed(key);
    }

    // The shared table of these keys and `key` after them (a key the table
    // does not hold), or null when sharing does not pay any more.
    const KeyShape* shared_child(uint32_t key) const;

    // A private copy of this table (for a map that extends it in place).
    std::unique_ptr<KeyShape> private_copy() const;
    // Appends `key` to a private table.
    void append(uint32_t key);

    KeyShape(const KeyShape&) = delete;
    KeyShape& operator=(const KeyShape&) = delete;
    ~KeyShape();

    // Tables beyond this many keys find keys through a hash index.
    static constexpr uint32_t kLinearKeys = 16;

private:
    struct Child {
        uint32_t key;
        const KeyShape* shape;
        const Child* next;
    };

    KeyShape(std::vector<uint32_t> keys, bool shared);
    std::optional<uint32_t> find_indexed(uint32_t key) const noexcept;
    void rebuild_index();

    std::vector<uint32_t> keys_;
    // Open addressing, positions + 1 (0: empty); a power of two at least
    // twice the key count. Null for tables of kLinearKeys keys or fewer.
    std::unique_ptr<uint32_t[]> index_;
    uint32_t index_mask_ = 0;
    bool shared_;
    // Children, newest first: read without a lock, added under the tree's lock.
    mutable std::atomic<const Child*> children_{nullptr};
    mutable uint32_t child_count_ = 0;
};

}  // namespace vorlane

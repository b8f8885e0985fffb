#pragma once
// Many-to-many relation between 32-bit ids: (parent, child) pairs of nested
// objects. Both directions are kept exactly, so the parents of a set of children
// are exactly the ids paired with one of them; a per-nibble summary would also
// answer ids paired only with look-alike children.
#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/fxhash.hpp"
#include "index/core/structures/hybrid_set/hybrid_set.hpp"

namespace vorlane {

class M2MU32 {
public:
    void insert(uint32_t left, uint32_t right) {
        forward_[left].add(right);
        backward_[right].add(left);
    }
    // Tells whether the pair was present.
    bool remove(uint32_t left, uint32_t right) {
        if (!erase_from(forward_, left, right)) return false;
        erase_from(backward_, right, left);
        return true;
    }
    bool contains(uint32_t left, uint32_t right) const {
        const auto it = forward_.find(left);
        return it != forward_.end() && it->second.contains(right);
    }
    bool empty() const noexcept { return forward_.empty(); }
    // Whether some left id is paired with `right`.
    bool has_lefts(uint32_t right) const { return backward_.contains(right); }

    // Left ids paired with some id of `rights`.
    Bitmap lefts_of(const Bitmap& rights) const { return related(backward_, rights); }
    // Right ids paired with some id of `lefts`.
    Bitmap rights_of(const Bitmap& lefts) const { return related(forward_, lefts); }

private:
    struct IdHash {
        size_t operator()(uint32_t id) const noexcept { return fx_mix(id); }
    };
    using Side = std::unordered_map<uint32_t, HybridSet, IdHash>;

    static bool erase_from(Side& side, uint32_t key, uint32_t id) {
        const auto it = side.find(key);
        if (it == side.end() || !it->second.contains(id)) return false;
        it->second.remove(id);
        if (it->second.is_empty()) side.erase(it);
        return true;
    }

    // Walks whichever is smaller: the ids asked for, or the ids that have partners.
    static Bitmap related(const Side& side, const Bitmap& ids) {
        Bitmap out;
        if (ids.cardinality() <= side.size()) {
            ids.for_each([&](uint32_t id) {
                const auto it = side.find(id);
                if (it != side.end()) it->second.or_into(out);
            });
        } else {
            for (const auto& [id, partners] : side) {
                if (ids.contains(id)) partners.or_into(out);
            }
        }
        return out;
    }

    Side forward_;   // left -> rights
    Side backward_;  // right -> lefts
};

}  // namespace vorlane

#pragma once
// The object graph of one index: which objects it stores (its members and
// every object they reach through attribute values) and how many link
// occurrences hold each. The links themselves live in the value maps, one
// table per attribute.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "index/structures/bitmap.hpp"
#include "index/structures/paged_id_map.hpp"

namespace vorlane {

struct ObjectGraph {
    Bitmap stored;
    size_t stored_count = 0;
    // Link occurrences from stored holders into each object (absent: none).
    PagedIdMap held;
    // Link occurrences removed since the last pass that looked for objects no
    // member reaches: such a pass costs a walk over the graph, so it runs once
    // as many links have gone as there are stored objects.
    size_t unlinked = 0;
    bool trace_pending = false;
    static constexpr size_t kTraceFloor = 64;

    bool is_stored(uint32_t id) const { return stored.contains(id); }
    uint32_t holders(uint32_t id) const { return held.find(id); }
    // The stored set and the held counts (see heap_bytes.hpp).
    size_t memory_bytes() const noexcept { return stored.memory_bytes() + held.memory_bytes(); }

    // Marks `id` stored; false if it was already.
    bool store(uint32_t id) {
        if (!stored.add_checked(id)) return false;
        ++stored_count;
        return true;
    }
    // Marks `id` no longer stored; false if it was not.
    bool unstore(uint32_t id) {
        if (!stored.remove_checked(id)) return false;
        --stored_count;
        return true;
    }
    // One more link occurrence into `id`. True when `id` is not stored yet.
    bool hold(uint32_t id) {
        held.insert(id, held.find(id) + 1);
        return !stored.contains(id);
    }
    // One fewer. True when nothing holds `id` any more. A count already gone
    // (a pass let go of the object first) stays gone.
    bool unhold(uint32_t id) {
        ++unlinked;
        const uint32_t count = held.find(id);
        if (count <= 1) {
            held.erase(id);
            return true;
        }
        held.insert(id, count - 1);
        return false;
    }
    // True once when enough links have gone for a pass to pay.
    bool take_trace_turn() {
        if (trace_pending || unlinked < std::max(kTraceFloor, stored_count)) return false;
        trace_pending = true;
        return true;
    }
};

}  // namespace vorlane

#include "index/structures/id_alloc.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "index/structures/errors.hpp"
#include "index/structures/locks.hpp"

namespace vorlane {

namespace {

struct IdSpace {
    std::vector<uint32_t> free_list;
    // Wider than an id so that "every id used" is a value of its own instead of
    // a wrap to 0.
    uint64_t next = 1;
};

constexpr uint64_t kLastId = std::numeric_limits<uint32_t>::max();

// Created on first use and never destroyed: objects freed during interpreter
// shutdown may still give their ids back after static destructors have run.
Mutex<IdSpace>& id_space() {
    static auto* space = new Mutex<IdSpace>();
    return *space;
}

}  // namespace

uint32_t allocate_id() {
    std::optional<uint32_t> id;
    {
        auto space = id_space().lock();
        if (!space->free_list.empty()) {
            id = space->free_list.back();
            space->free_list.pop_back();
        } else if (space->next <= kLastId) {
            id = static_cast<uint32_t>(space->next++);
        }
    }
    // Raised outside the guard: running out is not a broken invariant, and the
    // allocator must stay usable so that ids freed later can still be handed out.
    if (!id) fail("id space exhausted");
    return *id;
}

void allocate_ids(std::span<uint32_t> out) {
    bool exhausted = false;
    {
        auto space = id_space().lock();
        size_t filled = 0;
        // Reused ids first, last freed first.
        const size_t reused = std::min(out.size(), space->free_list.size());
        for (; filled < reused; ++filled) {
            out[filled] = space->free_list.back();
            space->free_list.pop_back();
        }
        // Then a run of never-used ids.
        for (; filled < out.size() && space->next <= kLastId; ++filled) out[filled] = static_cast<uint32_t>(space->next++);
        if (filled < out.size()) {
            // Given back in reverse, so the free list is as it was before the call.
            for (size_t k = filled; k > 0; --k) space->free_list.push_back(out[k - 1]);
            exhausted = true;
        }
    }
    if (exhausted) fail("id space exhausted");
}

void free_id(uint32_t id) { id_space().lock()->free_list.push_back(id); }

void free_ids(std::span<const uint32_t> ids) {
    auto space = id_space().lock();
    space->free_list.insert(space->free_list.end(), ids.rbegin(), ids.rend());
}

namespace detail {
void set_next_id_for_testing(uint64_t next) { id_space().lock()->next = next; }
}  // namespace detail

}  // namespace vorlane

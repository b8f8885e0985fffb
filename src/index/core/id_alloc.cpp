#include "index/core/id_alloc.hpp"

#include <limits>
#include <optional>
#include <vector>

#include "index/core/structures/errors.hpp"
#include "index/core/structures/locks.hpp"

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

void free_id(uint32_t id) { id_space().lock()->free_list.push_back(id); }

namespace detail {
void set_next_id_for_testing(uint64_t next) { id_space().lock()->next = next; }
}  // namespace detail

}  // namespace vorlane

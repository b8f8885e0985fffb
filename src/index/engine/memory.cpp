// Memory accounting of one index core: what sys.getsizeof reports for an Index.
// Each structure counts the heap it owns (see structures/heap_bytes.hpp); the
// blocks the core allocates for its fields are counted here.
#include <cstdint>

#include "index/engine/index.hpp"
#include "index/structures/heap_bytes.hpp"

namespace vorlane {

namespace {

// The one block std::make_shared allocates: its control block (a vtable
// pointer and two 32-bit counts) followed by the object.
template <class T>
constexpr size_t shared_block_bytes() noexcept {
    return heap_chunk(sizeof(void*) + 2 * sizeof(uint32_t) + sizeof(T));
}

}  // namespace

size_t ValueMaps::memory_bytes() const {
    size_t n = vector_bytes(attrs_) + vector_bytes(maps_);
    for (const auto& map : maps_) n += heap_chunk(sizeof(QueryMap)) + map->memory_bytes();
    return n;
}

size_t IndexAPI::memory_bytes() const {
    size_t n = shared_block_bytes<IndexAPI>() + shared_block_bytes<RwLock<ValueMaps>>() +
               shared_block_bytes<RwLock<Bitmap>>() + shared_block_bytes<RwLock<ObjectGraph>>() +
               shared_block_bytes<RwLock<ItemTable>>();
    // Each field under its read lock, the locks held together and taken in the
    // lock order; a map's own locks are taken inside the hold of `index`.
    const auto maps = index->read();
    n += maps->memory_bytes();
    const auto members = allowed_items->read();
    n += members->memory_bytes();
    const auto objects = graph->read();
    n += objects->memory_bytes();
    const auto records = items->read();
    n += records->memory_bytes();
    return n;
}

}  // namespace vorlane

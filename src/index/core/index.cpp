#include "index/core/index.hpp"

#include "index/core/id_alloc.hpp"

namespace vorlane {

std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent) {
    auto core = std::make_shared<IndexAPI>();
    core->index = std::make_shared<RwLock<ValueMaps>>();
    core->items = std::make_shared<RwLock<ItemTable>>();
    core->allowed_items = std::make_shared<RwLock<Bitmap>>();
    core->parent_child_map = std::make_shared<RwLock<ParentChildMap>>();
    if (const auto owner = parent.lock()) core->depth = owner->depth + 1;
    core->parent = std::move(parent);
    return core;
}

const std::shared_ptr<IndexAPI>& empty_index() {
    static const auto* empty = new std::shared_ptr<IndexAPI>(IndexAPI::create());  // never released
    return *empty;
}

void IndexAPI::add_object(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, StoredItem stored,
                          Mutex<AttributeMap>::Guard attributes) {
    // The record goes in before the id is allowed, so a concurrent collect never
    // meets an allowed id without its record.
    StoredItem replaced;
    {
        replaced = get_items_writer()->put(item_id, std::move(stored));
    }
    {
        // An object this core already holds has its current values in the maps
        // (every write reaches each index it is registered with); entering them
        // again would count its nested objects' pairs twice.
        auto allowed = get_allowed_items_writer();
        if (allowed->contains(item_id)) return;
        allowed->add(item_id);
    }
    attributes->for_each([&](uint32_t attr_id, const PyValue& v) { add_index(weak_core, item_id, attr_id, v); });
}
void IndexAPI::add_index(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, uint32_t attr_id,
                         const PyValue& v) {
    {
        auto maps = index->read();
        if (QueryMap* map = maps->find(attr_id)) {
            map->insert(v, item_id, item_id);
            return;
        }
    }
    auto fresh = std::make_unique<QueryMap>(weak_core);
    fresh->insert(v, item_id, item_id);
    auto maps = get_index_writer();
    if (!allowed_items->read()->contains(item_id)) return;  // narrowed away meanwhile
    QueryMap* made = fresh.get();
    QueryMap& standing = maps->emplace(attr_id, std::move(fresh));
    // Another thread created the map meanwhile: enter into the one that stands.
    if (&standing != made) standing.insert(v, item_id, item_id);
}

void IndexAPI::remove_index(uint32_t item_id, uint32_t attr_id, const PyValue& v, Removal how) {
    auto maps = index->read();
    if (QueryMap* map = maps->find(attr_id)) map->remove_id(v, item_id, item_id, how);
}

void IndexAPI::replace_value(const std::weak_ptr<IndexAPI>& weak_core, uint32_t item_id, uint32_t attr_id,
                             const PyValue* old, const PyValue& value) {
    {
        auto maps = index->read();
        // An object narrowed away left the maps with its values; it takes new
        // ones only when it is added again.
        if (!allowed_items->read()->contains(item_id)) return;
        if (QueryMap* map = maps->find(attr_id)) {
            if (old != nullptr) map->remove_id(*old, item_id, item_id);
            map->insert(value, item_id, item_id);
            return;
        }
    }
    // No map yet, so no old value in this core either: a first value.
    add_index(weak_core, item_id, attr_id, value);
}

namespace {
uint64_t pair_key(uint32_t parent, uint32_t child) { return (uint64_t{parent} << 32) | child; }
}  // namespace

void ParentChildMap::insert(uint32_t parent, uint32_t child) {
    if (counts[pair_key(parent, child)]++ == 0) pairs.insert(parent, child);
}

void ParentChildMap::retain_parents(const Bitmap& keep) {
    for (auto it = counts.begin(); it != counts.end();) {
        const auto parent = static_cast<uint32_t>(it->first >> 32);
        if (keep.contains(parent)) {
            ++it;
        } else {
            pairs.remove(parent, static_cast<uint32_t>(it->first));
            it = counts.erase(it);
        }
    }
}

bool ParentChildMap::remove(uint32_t parent, uint32_t child) {
    const auto it = counts.find(pair_key(parent, child));
    if (it == counts.end()) return false;
    if (--it->second != 0) return false;
    counts.erase(it);
    pairs.remove(parent, child);
    return !pairs.has_lefts(child);
}

void IndexAPI::register_path(uint32_t parent_id, uint32_t child_id) {
    get_parent_child_map_writer()->insert(parent_id, child_id);
}

bool IndexAPI::unregister_path(uint32_t parent_id, uint32_t child_id) {
    return get_parent_child_map_writer()->remove(parent_id, child_id);
}

}  // namespace vorlane

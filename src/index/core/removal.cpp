// Removal: one object taken out of an index.
#include "index/core/index.hpp"

namespace vorlane {

bool IndexAPI::remove_object(const Indexable& record) {
    const uint32_t id = record.id;
    std::vector<StoredItem> released;  // let go of after the locks
    {
        // Both of the object's locks, in the order a write takes them: no write
        // to it lands while its values leave, and none reaches this core after.
        auto list = record.indexes.lock();
        auto attributes = record.get_py_values();
        {
            auto allowed = get_allowed_items_writer();
            if (!allowed->contains(id)) return false;
            allowed->remove(id);
        }
        // Nested objects it alone held leave the child indexes afterwards (the
        // caller's nested scope runs that work).
        attributes->for_each([&](uint32_t attr_id, const PyValue& v) { remove_index(id, attr_id, v, Removal::Batched); });
        retire_records(Bitmap{id}, released);
        trim_indexes(*list, this);
    }
    return true;
}

void IndexAPI::retire_records(const Bitmap& ids, std::vector<StoredItem>& released) {
    auto items_guard = get_items_writer();
    // A view made before keeps its set and collects from these records: while
    // one may exist, they stay. The count is read under the items lock, after
    // the ids left the allowed set; a view takes its handle on the core before
    // it reads that set, so one that admits them is counted here.
    if (weak_from_this().use_count() > 1) {
        items_guard->keep_for_views(ids);
        return;
    }
    ids.for_each([&](uint32_t id) { released.push_back(items_guard->take(id)); });
    items_guard->release_kept(released);
}

}  // namespace vorlane

// Add: one object made a member.
#include "index/engine/index.hpp"
#include "index/engine/index_links.hpp"

namespace vorlane {

void IndexAPI::add_object(StoredItem stored, const PreparedElements& prepared) {
    const PreparedScope use_prepared(prepared);
    NestedScope nested;
    const Indexable& record = stored.record();
    const uint32_t id = record.id;
    StoredItem replaced;  // let go of after the locks
    {
        auto list = register_index(record, weak_from_this());  // held until the values are in
        auto attributes = record.get_py_values();
        // The record goes in before the id is allowed, so a concurrent collect never
        // meets an allowed id without its record.
        replaced = get_items_writer()->put(id, std::move(stored));
        // A member already has its current values in the maps (every write
        // reaches each index it is registered with); so has an object stored
        // because a member reaches it.
        if (!get_allowed_items_writer()->add_checked(id)) return;
        if (get_graph_writer()->store(id)) enter_values(id, *attributes);
    }
    nested.run();  // the object's locks are released by now
}

std::shared_ptr<IndexAPI> IndexAPI::rebase(std::vector<StoredItem> batch, PreparedElements& prepared) {
    auto core = create();
    core->add_object_many(std::move(batch), prepared);
    return core;
}

}  // namespace vorlane

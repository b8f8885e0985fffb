// Removal: one member taken out of an index.
#include "index/engine/index.hpp"

namespace vorlane {

bool IndexAPI::remove_object(const Indexable& record, std::vector<StoredItem>& released) {
    const uint32_t id = record.id;
    NestedScope nested;
    bool trace = false;
    bool leaves = false;
    {
        // Both of the object's locks, in the order a write takes them: no write
        // to it lands while its values leave, and none reaches this core after.
        auto list = record.indexes.lock();
        list->prefetch();  // read again at the end, when the object leaves the store
        auto attributes = record.get_py_values();
        if (!get_allowed_items_writer()->remove_checked(id)) return false;
        {
            auto graph = get_graph_writer();
            // Held by a stored object, it stays stored as a nested object; it may
            // be held only by objects no member reaches, which a pass finds.
            leaves = graph->holders(id) == 0 && graph->unstore(id);
            if (!leaves) ++graph->unlinked;
            trace = graph->take_trace_turn();
        }
        if (leaves) leave_store(record, *list, *attributes, released);
    }
    if (!leaves) release_kept_records();
    if (trace) defer_nested(NestedWork{weak_from_this(), StoredIndexable{}, NestedWork::Kind::Trace});
    nested.run();
    return true;
}

}  // namespace vorlane

// Nested objects: stored when a stored object comes to hold them, let go of
// when nothing stored holds them any more, after the holder's locks are released.
#include "index/engine/index.hpp"
#include "index/engine/conversion.hpp"
#include "index/engine/index_links.hpp"
#include "python/gil.hpp"

namespace vorlane {

namespace {

// Work in the order it came: objects to let go of, objects to store, passes.
struct PendingNested {
    std::vector<NestedWork> stores;
    std::vector<NestedWork> drops;
    std::vector<NestedWork> traces;
};
thread_local PendingNested* t_nested = nullptr;

// Stores a nested object some stored object holds, unless it is stored already
// or nothing holds it any more.
void store_nested(IndexAPI& core, const NestedWork& work) {
    const Indexable& record = work.record();
    const uint32_t id = record.id;
    {
        auto graph = core.graph->read();
        if (graph->is_stored(id) || graph->holders(id) == 0) return;
    }
    // Its containers are converted before any of its locks are taken, with the
    // interpreter lock, so no user code runs under them. The index's own handle
    // on the object is taken then too: the first one adds a Python reference.
    PreparedElements prepared;
    ObjectHandle handle = work.held;
    {
        py::GilAcquire gil;
        g_conversion.prepare(record, prepared);
        if (!handle) handle = ObjectHandle::from_python(work.object());
    }
    const PreparedScope use_prepared(prepared);
    StoredItem replaced;  // let go of after the locks
    {
        // Stored and let go of only under the object's list lock: the decision
        // and the values it enters or takes out come in one piece.
        auto list = record.indexes.lock();
        auto attributes = record.get_py_values();
        {
            auto graph = core.get_graph_writer();
            if (graph->holders(id) == 0 || !graph->store(id)) return;
        }
        add_index_link(*list, core.weak_from_this());
        replaced = core.get_items_writer()->put(id, StoredItem{std::move(handle)});
        core.enter_values(id, *attributes);
    }
}

// Lets go of a stored object that is no member. `unless_held`: only if nothing
// holds it (a pass over the graph found it unreachable without that). Returns
// whether it was let go of.
bool drop_stored(IndexAPI& core, const Indexable& record, bool unless_held) {
    const uint32_t id = record.id;
    std::vector<StoredItem> released;  // let go of after the locks
    {
        auto list = record.indexes.lock();  // no write to it meanwhile
        auto attributes = record.get_py_values();
        if (core.allowed_items->read()->contains(id)) return false;
        {
            auto graph = core.get_graph_writer();
            if (unless_held && graph->holders(id) != 0) return false;
            if (!graph->unstore(id)) return false;
        }
        core.leave_store(record, *list, *attributes, released);
    }
    return true;
}

// Finds the stored objects no member reaches, walking the links forward from
// the members with the value maps held exclusively (no value changes
// meanwhile), then lets each go by the same road as any other. An object held
// again meanwhile by one that stays is stored again afterwards.
void trace_unreachable(IndexAPI& core) {
    std::vector<StoredItem> unreachable;
    {
        auto maps = core.get_index_writer();
        Bitmap reached = core.allowed_items->read()->clone();
        Bitmap stored;
        {
            auto graph = core.get_graph_writer();
            graph->unlinked = 0;
            graph->trace_pending = false;
            stored = graph->stored.clone();
        }
        Bitmap frontier = reached.clone();
        while (!frontier.is_empty()) {
            Bitmap next;
            maps->for_each([&](uint32_t, QueryMap& map) {
                auto links = map.links.read(QueryMap::kMapPoisoned);
                if (!links->empty()) next.or_inplace(links->held_by(frontier));
            });
            next.andnot_inplace(reached);
            reached.or_inplace(next);
            frontier = std::move(next);
        }
        stored.andnot_inplace(reached);
        if (stored.is_empty()) return;
        auto items_guard = core.items->read();
        items_guard->for_each_in(stored, [&](uint32_t, const StoredItem& record) { unreachable.push_back(record); });
    }
    std::vector<const StoredItem*> dropped;
    for (const StoredItem& item : unreachable) {
        if (drop_stored(core, item.record(), false)) dropped.push_back(&item);
    }
    for (const StoredItem* item : dropped) {
        if (core.graph->read()->holders(item->record().id) == 0) continue;
        defer_nested(NestedWork{core.weak_from_this(), StoredIndexable{}, NestedWork::Kind::Store, item->py_item});
    }
}

}  // namespace

void defer_nested(NestedWork work) {
    check(t_nested != nullptr, "nested object entered outside an operation that stores it");
    switch (work.kind) {
        case NestedWork::Kind::Store: t_nested->stores.push_back(std::move(work)); break;
        case NestedWork::Kind::Drop: t_nested->drops.push_back(std::move(work)); break;
        case NestedWork::Kind::Trace: t_nested->traces.push_back(std::move(work)); break;
    }
}

// One list of work per thread, reused by each outermost scope: an attribute
// write opens a scope, and most find nothing to do.
thread_local PendingNested t_pending;

NestedScope::NestedScope() : outer_(t_nested == nullptr) {
    if (outer_) t_nested = &t_pending;
}

NestedScope::~NestedScope() {
    if (!outer_) return;
    t_nested = nullptr;
    // A long chain leaves long lists: their memory is not kept for the next scope.
    for (auto* list : {&t_pending.stores, &t_pending.drops, &t_pending.traces}) {
        if (list->capacity() > 1024) {
            std::vector<NestedWork>().swap(*list);
        } else {
            list->clear();
        }
    }
}

bool NestedScope::has_work() const noexcept {
    return outer_ && (!t_pending.stores.empty() || !t_pending.drops.empty() || !t_pending.traces.empty());
}

void NestedScope::run() {
    if (!outer_) return;  // an enclosing scope runs the work
    // Every object let go of leaves first (leaving cascades, storing never makes
    // anything leave), so that what is stored next meets the links as they now
    // stand; passes over the graph come last. Breadth first within each.
    size_t next_store = 0;
    size_t next_drop = 0;
    size_t next_trace = 0;
    PendingNested& pending = *t_nested;
    for (;;) {
        NestedWork work;
        if (next_drop < pending.drops.size()) {
            work = std::move(pending.drops[next_drop++]);
        } else if (next_store < pending.stores.size()) {
            work = std::move(pending.stores[next_store++]);
        } else if (next_trace < pending.traces.size()) {
            work = std::move(pending.traces[next_trace++]);
        } else {
            break;
        }
        const auto core = work.core.lock();
        if (core == nullptr) continue;  // the index is gone, and its store with it
        switch (work.kind) {
            case NestedWork::Kind::Store: store_nested(*core, work); break;
            case NestedWork::Kind::Drop: drop_stored(*core, work.record(), true); break;
            case NestedWork::Kind::Trace: trace_unreachable(*core); break;
        }
    }
    pending.stores.clear();
    pending.drops.clear();
    pending.traces.clear();
}

}  // namespace vorlane

// Nested objects: stored in and let go of by child indexes after the holder's locks are released.
#include "index/core/index.hpp"

#include "python/gil.hpp"

namespace vorlane {

namespace {

// Objects to store and objects to let go of, each in the order they came.
struct PendingNested {
    std::vector<NestedWork> stores;
    std::vector<NestedWork> drops;
};
thread_local PendingNested* t_nested = nullptr;

// True when `object` is among the holders of `holder` in the cores above `owner`:
// storing it again one level deeper would only repeat a cycle of objects.
bool held_above(const std::shared_ptr<IndexAPI>& owner, uint32_t holder, uint32_t object) {
    Bitmap level{holder};
    std::shared_ptr<IndexAPI> core = owner;
    while (core != nullptr && !level.is_empty()) {
        {
            auto pairs = core->parent_child_map->read();
            level = pairs->pairs.lefts_of(level);
        }
        if (level.contains(object)) return true;
        core = core->parent.lock();
    }
    return false;
}

// A nested object no holder refers to any more leaves its child index: its
// values go (releasing what it holds in turn), its record and its link too.
void drop_nested(NestedWork& work) {
    const Indexable& record = work.nested.record();
    const uint32_t cid = record.id;
    IndexAPI& child = *work.child;
    StoredItem released;  // let go of after the locks
    {
        auto list = record.indexes.lock();  // no write to it meanwhile
        auto attributes = record.get_py_values();
        if (child.parent_child_map->read()->pairs.has_lefts(cid)) return;  // held again meanwhile
        {
            auto allowed = child.get_allowed_items_writer();
            if (!allowed->contains(cid)) return;
            allowed->remove(cid);
        }
        attributes->for_each([&](uint32_t attr_id, const PyValue& v) { child.remove_index(cid, attr_id, v); });
        {
            released = child.get_items_writer()->take(cid);
        }
        trim_indexes(*list, &child);
    }
}

void store_nested(NestedWork& work) {
    const uint32_t cid = work.nested.record().id;
    IndexAPI& child = *work.child;
    // Past this depth a chain of objects is not followed (the pair stays recorded).
    if (child.depth > kMaxNestingDepth) return;
    // The value that held it was taken out again meanwhile: nothing to store.
    if (!child.parent_child_map->read()->pairs.contains(work.holder, cid)) return;
    if (auto owner = work.owner.lock(); owner != nullptr && held_above(owner, work.holder, cid)) return;
    // The nested object's containers are converted before any of its locks are
    // taken, with the interpreter lock, so no user code runs under them.
    PreparedElements prepared;
    ObjectHandle handle;  // the child index's record of it (the first handle takes a reference)
    {
        py::GilAcquire gil;
        check_container_attributes(work.nested.record(), prepared);
        handle = ObjectHandle::from_python(work.nested.python_handle.get());
    }
    const PreparedScope use_prepared(prepared);
    std::weak_ptr<IndexAPI> weak_child = work.child;
    auto list = register_index(work.nested.record(), weak_child);
    if (child.allowed_items->read()->contains(cid)) return;  // stored once, however many holders
    auto attributes = work.nested.record().get_py_values();
    child.add_object(weak_child, cid, StoredItem{std::move(handle)}, std::move(attributes));
}

}  // namespace

void defer_nested(NestedWork work) {
    check(t_nested != nullptr, "nested object entered outside an operation that stores it");
    (work.leaving ? t_nested->drops : t_nested->stores).push_back(std::move(work));
}

NestedScope::NestedScope() : outer_(t_nested == nullptr) {
    if (outer_) t_nested = new PendingNested();
}

NestedScope::~NestedScope() {
    if (!outer_) return;
    PendingNested* pending = std::exchange(t_nested, nullptr);
    delete pending;
}

void NestedScope::run() {
    if (!outer_) return;  // an enclosing scope runs the work
    // Every object let go of leaves first (leaving cascades, storing never makes
    // anything leave), so that what is stored next meets the pairs as they now
    // stand: an object whose holder is on its way out is not stored one level
    // deeper in the meantime, again and again. Breadth first within each.
    size_t next_store = 0;
    size_t next_drop = 0;
    while (next_drop < t_nested->drops.size() || next_store < t_nested->stores.size()) {
        if (next_drop < t_nested->drops.size()) {
            NestedWork work = std::move(t_nested->drops[next_drop++]);
            drop_nested(work);
        } else {
            NestedWork work = std::move(t_nested->stores[next_store++]);
            store_nested(work);
        }
    }
    t_nested->stores.clear();
    t_nested->drops.clear();
}

}  // namespace vorlane

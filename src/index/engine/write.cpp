// Write: an attribute assignment, carried to every index that stores the object.
#include "index/engine/write.hpp"

#include "index/engine/index.hpp"
#include "python/gil.hpp"

namespace vorlane {

namespace {

// Puts a plain number over a plain number of the same kind in place: nothing
// to release, no kind to change. False for any other pair.
template <class Number>
bool overwrite_number(PyValue& slot, const PyValue& value) noexcept {
    auto* held = std::get_if<Number>(&slot.primitave);
    const auto* given = value.as<Number>();
    if (held == nullptr || given == nullptr || held->origin || given->origin) return false;
    held->value = given->value;
    return true;
}

// Stores `value` in a locked storage; returns the value it replaced, if it
// holds anything to release.
std::optional<PyValue> store(AttributeMap& storage, uint32_t attr_id, PyValue&& value) {
    std::optional<PyValue> old;
    if (PyValue* slot = storage.get(attr_id)) {
        if (overwrite_number<cast::Int>(*slot, value) || overwrite_number<cast::Float>(*slot, value)) return old;
        old.emplace(std::move(*slot));
        *slot = std::move(value);
    } else {
        storage.insert(attr_id, std::move(value));
    }
    return old;
}

}  // namespace

std::optional<PyValue> write_attribute(const Indexable& record, uint32_t attr_id, PyValue value,
                                       const PreparedElements& prepared) {
#ifndef Py_GIL_DISABLED
    if (!record.is_listed() && !record.attributes.is_poisoned()) {
        // No index has listed the object, and none can while this thread holds
        // the interpreter lock: every reader of the storage holds it too.
        return store(record.attributes.unlocked_value(), attr_id, std::move(value));
    }
#endif
    std::optional<PyValue> old;
    std::optional<NestedScope> nested;  // only an object in an index has nested work
    {
        // The list stays locked until the value is stored, so an index that
        // registers the object meanwhile waits and then reads the new value.
        auto& list_lock = record.indexes;
        auto list = py::lock_with_gil([&] { return list_lock.try_lock_quiet(); }, [&] { return list_lock.lock_quiet(); });
        if (!list->empty()) {
            list.watch();  // the indexes' work below can fail
            nested.emplace();
            const PreparedScope use_prepared(prepared);
            py::GilRelease release;
            auto storage = record.get_py_values();
            for (const IndexMeta& entry : *list) {
                // A link whose index is gone is skipped.
                if (const auto core = entry.lock()) core->replace_value(record.id, attr_id, storage->get(attr_id), value);
            }
        }
        auto storage = lock_attributes_with_gil(record);
        old = store(*storage, attr_id, std::move(value));
    }
    if (nested && nested->has_work()) {
        py::GilRelease release;
        const PreparedScope use_prepared(prepared);
        nested->run();
    }
    return old;
}

}  // namespace vorlane

// Write: an attribute assignment, carried to every index that stores the object.
#include "index/core/write.hpp"

#include "index/core/index.hpp"
#include "python/gil.hpp"

namespace vorlane {

std::optional<PyValue> write_attribute(const Indexable& record, uint32_t attr_id, PyValue value,
                                       const PreparedElements& prepared) {
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
        if (PyValue* slot = storage->get(attr_id)) {
            old.emplace(std::move(*slot));
            *slot = std::move(value);
        } else {
            storage->insert(attr_id, std::move(value));
        }
    }
    if (nested && nested->has_work()) {
        py::GilRelease release;
        const PreparedScope use_prepared(prepared);
        nested->run();
    }
    return old;
}

}  // namespace vorlane

// The record of an Indexable object: its id, its attribute storage, its links
// to the indexes that store it, and the engine's handles on it.
#include "index/engine/record.hpp"

#include <optional>
#include <string>

#include "index/structures/id_alloc.hpp"
#include "python/gil.hpp"

namespace vorlane {

Indexable::Indexable(AttributeMap attributes) : attributes(std::move(attributes)), id(allocate_id()) {}

Indexable::~Indexable() { free_id(id); }

void add_engine_ref(PyObject* obj, bool first_needs_gil) noexcept {
    const uint32_t before = indexable_record(obj).engine_refs.fetch_add(1, std::memory_order_relaxed);
    if ((before & ~Indexable::kListed) == 0 && first_needs_gil) Py_INCREF(obj);
}

void drop_engine_ref(PyObject* obj) noexcept {
    const uint32_t before = indexable_record(obj).engine_refs.fetch_sub(1, std::memory_order_acq_rel);
    if ((before & ~Indexable::kListed) == 1) py::release_reference(obj);
}

Mutex<AttributeMap>::Guard lock_attributes_with_gil(const Indexable& record) {
    auto& storage = record.attributes;
    // Quiet: the sections under it only read, copy or move values.
    return py::lock_with_gil([&] { return storage.try_lock_quiet(kCannotReadIndexable); },
                             [&] { return storage.lock_quiet(kCannotReadIndexable); });
}

std::string debug_record(const Indexable& record) {
    std::string out = "IndexAPI { id: " + std::to_string(record.id) + ", attributes: Mutex { data: ";
    const Mutex<AttributeMap>& storage = record.attributes;
    // try_lock: rendering must not wait, and an object that holds itself shows as locked.
    auto guard = storage.is_poisoned() ? std::nullopt : const_cast<Mutex<AttributeMap>&>(storage).try_lock();
    if (!guard) {
        out += "<locked>";
    } else {
        out += "{";
        bool first = true;
        (*guard)->for_each([&](uint32_t key, const PyValue& value) {
            out += (first ? "" : ", ") + std::to_string(key) + ": " + value.debug_text();
            first = false;
        });
        out += "}";
    }
    out += std::string(", poisoned: ") + (storage.is_poisoned() ? "true" : "false") + ", .. } }";
    return out;
}

}  // namespace vorlane

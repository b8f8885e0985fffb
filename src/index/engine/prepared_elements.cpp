// The converted elements of the containers one operation enters.
#include "index/engine/value.hpp"

#include <algorithm>

#include "index/structures/errors.hpp"

namespace vorlane {

void PreparedElements::start_object() { object_starts_.push_back(static_cast<uint32_t>(held_.size())); }

void PreparedElements::add_held(py::SharedPyRef container, size_t begin) {
    const size_t end = elements_.size();
    check(end <= UINT32_MAX, "too many container elements in one operation");
    held_.push_back(Held{std::move(container), static_cast<uint32_t>(begin), static_cast<uint32_t>(end)});
}

void PreparedElements::add_inner(py::SharedPyRef container, std::vector<PyValue> elements) {
    // A container met again (held by two containers, say) takes its latest conversion.
    Inner& entry = inner_[container.get()];
    entry.container = std::move(container);
    entry.elements = std::move(elements);
}

std::optional<std::span<const PyValue>> PreparedElements::find(const PyObject* container) const {
    if (const auto it = inner_.find(container); it != inner_.end()) {
        return std::span<const PyValue>(it->second.elements);
    }
    const auto live = [&](uint32_t slot) -> std::optional<std::span<const PyValue>> {
        const Held& held = held_[slot];
        if (!held.container || held.container.get() != container) return std::nullopt;
        return std::span<const PyValue>(elements_).subspan(held.begin, held.end - held.begin);
    };
    constexpr size_t kScanned = 16;  // an object's own few containers are scanned
    if (held_.size() <= kScanned) {
        for (uint32_t slot = 0; slot < held_.size(); ++slot) {
            if (auto found = live(slot)) return found;
        }
        return std::nullopt;
    }
    if (by_address_built_ != held_.size()) {
        by_address_built_ = held_.size();
        by_address_.clear();
        by_address_.reserve(held_.size());
        for (uint32_t slot = 0; slot < held_.size(); ++slot) {
            const Held& held = held_[slot];
            if (held.container) by_address_.emplace_back(held.container.get(), slot);
        }
        std::sort(by_address_.begin(), by_address_.end());
    }
    const auto first = std::lower_bound(by_address_.begin(), by_address_.end(),
                                        std::pair<const PyObject*, uint32_t>(container, 0));
    for (auto it = first; it != by_address_.end() && it->first == container; ++it) {
        if (auto found = live(it->second)) return found;
    }
    return std::nullopt;
}

PreparedElements::Held* PreparedElements::take_held(size_t position, const PyObject* container) noexcept {
    size_t from = 0;
    size_t to = held_.size();
    if (position < object_starts_.size()) {
        from = object_starts_[position];
        if (position + 1 < object_starts_.size()) to = object_starts_[position + 1];
    } else if (position > 0 || !object_starts_.empty()) {
        return nullptr;
    }
    for (size_t slot = from; slot < to; ++slot) {
        Held& held = held_[slot];
        if (!held.taken && held.container && held.container.get() == container) {
            held.taken = true;
            return &held;
        }
    }
    return nullptr;
}

void PreparedElements::release(Held& held) noexcept { held.container = py::SharedPyRef(); }

namespace {
thread_local const PreparedElements* t_prepared = nullptr;
}  // namespace

PreparedScope::PreparedScope(const PreparedElements& prepared) noexcept : previous_(t_prepared) {
    t_prepared = &prepared;
}

PreparedScope::~PreparedScope() { t_prepared = previous_; }

std::optional<std::span<const PyValue>> PreparedScope::find(const PyObject* container) {
    if (t_prepared == nullptr) return std::nullopt;
    return t_prepared->find(container);
}

}  // namespace vorlane

#pragma once
// The one owner of CRoaring handles: a move-only compressed set of 32-bit ids.
// Only this file calls the CRoaring C API, and only the part of it that every
// supported CRoaring release shares.
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

// Newer CRoaring releases declare their C API inside ::roaring::api when built as
// C++; older ones declare it globally. Naming the namespace here lets one using
// directive serve both.
namespace roaring::api {}
#include <roaring/roaring.h>

#include "index/core/structures/errors.hpp"

namespace vorlane {

using namespace ::roaring::api;  // NOLINT: see above; resolves to the global C API on older releases

inline constexpr const char* kBitmapCreateFailed = "assertion failed: success";
inline constexpr const char* kBitmapCloneFailed = "Memory allocation failure cloning roaring bitmap";

class Bitmap {
    using Raw = roaring_bitmap_t;

public:
    Bitmap() : raw_(create()) {}
    Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() { add_many(std::span(ids.begin(), ids.size())); }
    explicit Bitmap(std::span<const uint32_t> ids) : Bitmap() { add_many(ids); }
    Bitmap(Bitmap&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
    Bitmap& operator=(Bitmap&& other) noexcept {
        std::swap(raw_, other.raw_);
        return *this;
    }
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    ~Bitmap() {
        if (raw_ != nullptr) roaring_bitmap_free(raw_);
    }

    Bitmap clone() const {
        Raw* copy = roaring_bitmap_copy(raw());
        if (copy == nullptr) fail(kBitmapCloneFailed);
        return Bitmap(copy);
    }

    void add(uint32_t id) { roaring_bitmap_add(raw(), id); }
    void add_many(std::span<const uint32_t> ids) {
        if (!ids.empty()) roaring_bitmap_add_many(raw(), ids.size(), ids.data());
    }
    // Adds every id from `first` up to and including `last`.
    void add_range(uint32_t first, uint32_t last) {
        if (first <= last) roaring_bitmap_add_range(raw(), first, uint64_t{last} + 1);
    }
    void remove(uint32_t id) { roaring_bitmap_remove(raw(), id); }
    bool contains(uint32_t id) const { return roaring_bitmap_contains(raw(), id); }
    uint64_t cardinality() const { return roaring_bitmap_get_cardinality(raw()); }
    bool is_empty() const { return roaring_bitmap_is_empty(raw()); }
    // Largest id; 0 for an empty set.
    uint32_t maximum() const { return roaring_bitmap_maximum(raw()); }
    void clear() { roaring_bitmap_clear(raw()); }
    // Makes this set equal to `other`, reusing this set's memory where it can.
    void overwrite(const Bitmap& other) {
        if (!roaring_bitmap_overwrite(raw(), other.raw())) fail(kBitmapCloneFailed);
    }

    Bitmap and_(const Bitmap& other) const { return wrap(roaring_bitmap_and(raw(), other.raw())); }
    Bitmap or_(const Bitmap& other) const { return wrap(roaring_bitmap_or(raw(), other.raw())); }
    Bitmap andnot(const Bitmap& other) const {
        return wrap(roaring_bitmap_andnot(raw(), other.raw()));
    }
    void and_inplace(const Bitmap& other) {
        if (&other != this) roaring_bitmap_and_inplace(raw(), other.raw());
    }
    void or_inplace(const Bitmap& other) {
        if (&other != this) roaring_bitmap_or_inplace(raw(), other.raw());
    }
    void andnot_inplace(const Bitmap& other) {
        if (&other == this) {
            clear();
        } else {
            roaring_bitmap_andnot_inplace(raw(), other.raw());
        }
    }
    uint64_t and_cardinality(const Bitmap& other) const {
        return roaring_bitmap_and_cardinality(raw(), other.raw());
    }
    bool operator==(const Bitmap& other) const { return roaring_bitmap_equals(raw(), other.raw()); }

    // Calls fn(id) for every id in ascending order; fn returns false to stop early.
    template <class Fn>
    void for_each(Fn&& fn) const {
        roaring_iterate(
            raw(),
            [](uint32_t value, void* param) -> bool {
                auto& f = *static_cast<std::remove_reference_t<Fn>*>(param);
                if constexpr (std::is_void_v<std::invoke_result_t<decltype(f), uint32_t>>) {
                    f(value);
                    return true;
                } else {
                    return static_cast<bool>(f(value));
                }
            },
            &fn);
    }
    std::vector<uint32_t> to_vector() const {
        std::vector<uint32_t> out(cardinality());
        if (!out.empty()) roaring_bitmap_to_uint32_array(raw(), out.data());
        return out;
    }
    size_t size_in_bytes() const { return roaring_bitmap_size_in_bytes(raw()); }
    bool run_optimize() { return roaring_bitmap_run_optimize(raw()); }

private:
    explicit Bitmap(Raw* raw) noexcept : raw_(raw) {}
    static Raw* create() {
        Raw* raw = roaring_bitmap_create();
        if (raw == nullptr) fail(kBitmapCreateFailed);
        return raw;
    }
    static Bitmap wrap(Raw* raw) {
        if (raw == nullptr) fail(kBitmapCreateFailed);
        return Bitmap(raw);
    }
    // A moved-from bitmap is empty again on its next use.
    Raw* raw() const {
        if (raw_ == nullptr) raw_ = create();
        return raw_;
    }

    mutable Raw* raw_;
};

}  // namespace vorlane

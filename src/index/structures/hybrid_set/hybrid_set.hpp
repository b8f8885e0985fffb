#pragma once
// The id set under one attribute value. Most values are held by a handful of
// objects, so the set starts as a tiny inline array and becomes a compressed
// bitmap only when it grows past three ids.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "index/structures/bitmap.hpp"
#include "index/structures/centered_array/centered_array.hpp"
#include "index/structures/hybrid_set/medium.hpp"

namespace vorlane {

inline constexpr const char* kRemoveOnEmpty = "called remove on Empty";

class HybridSet {
public:
    enum class Form : uint8_t { Empty = 0, Small = 1, Medium = 2, Bitmap = 3 };

    HybridSet() = default;
    HybridSet(HybridSet&& other) noexcept : repr_(std::move(other.repr_)) {
        other.repr_.emplace<std::monostate>();
    }
    HybridSet& operator=(HybridSet&& other) noexcept {
        if (this != &other) {
            repr_ = std::move(other.repr_);
            other.repr_.emplace<std::monostate>();
        }
        return *this;
    }
    HybridSet(const HybridSet&) = delete;
    HybridSet& operator=(const HybridSet&) = delete;

    // The boxed form; `add` never produces it, but sets built elsewhere may carry it.
    static HybridSet medium(std::span<const uint32_t> sorted_ids) {
        HybridSet out;
        out.repr_.emplace<MediumArray>(CenteredArray::from_sorted(sorted_ids));
        return out;
    }
    static HybridSet from_bitmap(Bitmap bitmap) {
        HybridSet out;
        out.repr_.emplace<Bitmap>(std::move(bitmap));
        return out;
    }

    Form form() const noexcept { return static_cast<Form>(repr_.index()); }

    void add(uint32_t id) {
        switch (form()) {
            case Form::Empty: {
                CenteredArray fresh;
                fresh.insert(id);
                repr_.emplace<CenteredArray>(fresh);
                return;
            }
            case Form::Small: {
                auto& array = std::get<CenteredArray>(repr_);
                if (array.size() + 1 < CenteredArray::kCapacity) {
                    array.insert(id);
                } else {
                    become_bitmap(array.live(), id);
                }
                return;
            }
            case Form::Medium: {
                auto& array = std::get<MediumArray>(repr_).array();
                if (array.size() < CenteredArray::kCapacity) {
                    array.insert(id);
                } else {
                    become_bitmap(array.live(), id);
                }
                return;
            }
            case Form::Bitmap:
                std::get<Bitmap>(repr_).add(id);
                return;
        }
    }

    // Adds `id` unless it is there; true when it was new.
    bool insert(uint32_t id) {
        if (form() == Form::Bitmap) return std::get<Bitmap>(repr_).add_checked(id);
        if (contains(id)) return false;
        add(id);
        return true;
    }

    // Adds the ids of `ids` (ascending) that are not there; returns how many were new.
    size_t insert_many(std::span<const uint32_t> ids) {
        size_t fresh = 0;
        size_t k = 0;
        for (; k < ids.size() && form() != Form::Bitmap; ++k) fresh += insert(ids[k]) ? 1 : 0;
        if (k == ids.size()) return fresh;
        Bitmap& bits = std::get<Bitmap>(repr_);
        const uint64_t before = bits.cardinality();
        bits.add_ascending(ids.subspan(k));
        return fresh + static_cast<size_t>(bits.cardinality() - before);
    }

    // Removes the ids of `ids` (ascending) that are there; returns how many were.
    size_t erase_many(std::span<const uint32_t> ids) {
        if (form() == Form::Bitmap) {
            Bitmap& bits = std::get<Bitmap>(repr_);
            const uint64_t before = bits.cardinality();
            bits.andnot_inplace(Bitmap(ids));
            return static_cast<size_t>(before - bits.cardinality());
        }
        size_t erased = 0;
        for (const uint32_t id : ids) erased += erase(id) ? 1 : 0;
        return erased;
    }

    // Removes `id` if it is there (one search); true when it was.
    bool erase(uint32_t id) {
        if (form() == Form::Bitmap) return std::get<Bitmap>(repr_).remove_checked(id);
        if (!contains(id)) return false;
        remove(id);
        return true;
    }

    // The form never changes here: an emptied set stays in its form.
    void remove(uint32_t id) {
        switch (form()) {
            case Form::Empty:
                fail(kRemoveOnEmpty);
            case Form::Small:
                std::get<CenteredArray>(repr_).erase(id);
                return;
            case Form::Medium:
                std::get<MediumArray>(repr_).array().erase(id);
                return;
            case Form::Bitmap:
                std::get<Bitmap>(repr_).remove(id);
                return;
        }
    }

    void retain(const Bitmap& mask) {
        switch (form()) {
            case Form::Empty:
                return;
            case Form::Small: {
                CenteredArray kept;
                for (uint32_t id : std::get<CenteredArray>(repr_).live()) {
                    if (mask.contains(id)) kept.insert(id);
                }
                repr_.emplace<CenteredArray>(kept);
                return;
            }
            case Form::Medium: {
                std::array<uint32_t, CenteredArray::kCapacity> kept{};
                size_t n = 0;
                for (uint32_t id : std::get<MediumArray>(repr_).live()) {
                    if (mask.contains(id)) kept[n++] = id;
                }
                repr_.emplace<MediumArray>(CenteredArray::from_sorted({kept.data(), n}));
                return;
            }
            case Form::Bitmap:
                std::get<Bitmap>(repr_).and_inplace(mask);
                return;
        }
    }

    // Takes every id of `other`; `other` is unchanged.
    void union_with(const HybridSet& other) {
        if (&other == this) return;
        if (form() == Form::Empty) {
            *this = other.clone();
            return;
        }
        if (other.form() == Form::Empty) return;
        const auto mine = array_ids();
        const auto theirs = other.array_ids();
        if (mine && theirs) {
            if (mine->size() + theirs->size() <= CenteredArray::kCapacity) {
                CenteredArray merged = CenteredArray::from_sorted(*mine);
                merged.union_with(CenteredArray::from_sorted(*theirs));
                if (form() == Form::Small && other.form() == Form::Small) {
                    repr_.emplace<CenteredArray>(merged);
                } else {
                    repr_.emplace<MediumArray>(merged);
                }
            } else {
                Bitmap joined(*mine);
                joined.add_many(*theirs);
                repr_.emplace<Bitmap>(std::move(joined));
            }
        } else if (mine) {
            Bitmap joined(*mine);
            joined.or_inplace(std::get<Bitmap>(other.repr_));
            repr_.emplace<Bitmap>(std::move(joined));
        } else if (theirs) {
            std::get<Bitmap>(repr_).add_many(*theirs);
        } else {
            std::get<Bitmap>(repr_).or_inplace(std::get<Bitmap>(other.repr_));
        }
    }

    // The ids of `candidates` in this set (all of them when `candidates` is null).
    Bitmap and_(const Bitmap* candidates) const {
        if (form() == Form::Bitmap) {
            const Bitmap& mine = std::get<Bitmap>(repr_);
            return candidates != nullptr ? candidates->and_(mine) : mine.clone();
        }
        Bitmap r = to_bitmap();
        if (candidates != nullptr) r.and_inplace(*candidates);
        return r;
    }

    // How many ids of `candidates` are in this set, without building the intersection.
    uint64_t count_in(const Bitmap& candidates) const {
        if (form() == Form::Bitmap) return candidates.and_cardinality(std::get<Bitmap>(repr_));
        uint64_t n = 0;
        if (const auto ids = array_ids()) {
            for (uint32_t id : *ids) n += candidates.contains(id) ? 1 : 0;
        }
        return n;
    }

    // The set's bitmap when it is in that form (null otherwise): read in place.
    const Bitmap* bitmap_form() const noexcept {
        return form() == Form::Bitmap ? &std::get<Bitmap>(repr_) : nullptr;
    }

    Bitmap to_bitmap() const {
        if (const auto ids = array_ids()) return Bitmap(*ids);
        if (form() == Form::Bitmap) return std::get<Bitmap>(repr_).clone();
        return Bitmap();
    }

    // Adds this set's ids to `target` without building a temporary bitmap.
    void or_into(Bitmap& target) const {
        if (const auto ids = array_ids()) {
            target.add_many(*ids);
        } else if (form() == Form::Bitmap) {
            target.or_inplace(std::get<Bitmap>(repr_));
        }
    }

    HybridSet clone() const {
        HybridSet out;
        switch (form()) {
            case Form::Empty:
                break;
            case Form::Small:
                out.repr_.emplace<CenteredArray>(std::get<CenteredArray>(repr_));
                break;
            case Form::Medium:
                out.repr_.emplace<MediumArray>(std::get<MediumArray>(repr_).clone());
                break;
            case Form::Bitmap:
                out.repr_.emplace<Bitmap>(std::get<Bitmap>(repr_).clone());
                break;
        }
        return out;
    }

    bool contains(uint32_t id) const {
        if (form() == Form::Small) return std::get<CenteredArray>(repr_).contains(id);
        if (form() == Form::Medium) return std::get<MediumArray>(repr_).array().contains(id);
        if (form() == Form::Bitmap) return std::get<Bitmap>(repr_).contains(id);
        return false;
    }
    uint64_t size() const {
        if (const auto ids = array_ids()) return ids->size();
        if (form() == Form::Bitmap) return std::get<Bitmap>(repr_).cardinality();
        return 0;
    }
    bool is_empty() const {
        if (form() == Form::Bitmap) return std::get<Bitmap>(repr_).is_empty();
        return size() == 0;
    }

    // Calls fn(id) in ascending order.
    template <class Fn>
    void for_each(Fn&& fn) const {
        if (const auto ids = array_ids()) {
            for (uint32_t id : *ids) fn(id);
        } else if (form() == Form::Bitmap) {
            std::get<Bitmap>(repr_).for_each([&](uint32_t id) { fn(id); });
        }
    }
    std::vector<uint32_t> to_vector() const {
        std::vector<uint32_t> out;
        out.reserve(size());
        for_each([&](uint32_t id) { out.push_back(id); });
        return out;
    }

    // The heap of the boxed and bitmap forms; the inline forms hold none (see heap_bytes.hpp).
    size_t memory_bytes() const noexcept {
        if (const auto* medium = std::get_if<MediumArray>(&repr_)) return medium->memory_bytes();
        if (const auto* bits = std::get_if<Bitmap>(&repr_)) return bits->memory_bytes();
        return 0;
    }

private:
    // The live ids of either array form; nothing for Empty and Bitmap.
    std::optional<std::span<const uint32_t>> array_ids() const {
        if (form() == Form::Small) return std::get<CenteredArray>(repr_).live();
        if (form() == Form::Medium) return std::get<MediumArray>(repr_).live();
        return std::nullopt;
    }

    // One add-many for the array's ids, even when `id` is already among them.
    void become_bitmap(std::span<const uint32_t> ids, uint32_t id) {
        Bitmap converted(ids);
        converted.add(id);
        repr_.emplace<Bitmap>(std::move(converted));
    }

    std::variant<std::monostate, CenteredArray, MediumArray, Bitmap> repr_;
};

}  // namespace vorlane

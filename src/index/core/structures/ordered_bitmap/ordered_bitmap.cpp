#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vorlane {

namespace {

enum class ScratchState : uint8_t { Unused, Live, Destroyed };

// Plain thread-locals stay readable while the thread's objects are destroyed,
// which is how a late use is told from a first one.
thread_local ScratchState scratch_state = ScratchState::Unused;
thread_local bool scratch_borrowed = false;

struct ScratchHolder {
    Bitmap bitmap;
    ~ScratchHolder() { scratch_state = ScratchState::Destroyed; }
};

Bitmap& thread_scratch() {
    if (scratch_state == ScratchState::Destroyed) {
        fail("scratch bitmap used after its thread storage was destroyed");
    }
    thread_local ScratchHolder holder;
    scratch_state = ScratchState::Live;
    return holder.bitmap;
}

}  // namespace

namespace detail {

ScratchBitmap::ScratchBitmap() {
    if (scratch_borrowed) fail("scratch bitmap already borrowed on this thread");
    bitmap_ = &thread_scratch();
    scratch_borrowed = true;
}

ScratchBitmap::~ScratchBitmap() { scratch_borrowed = false; }

}  // namespace detail

Bitmap NumericalBitmap::get_eq(const OrderKey& key) const {
    Bitmap result = slices_[kOrderKeyBits - 1][key.bit(kOrderKeyBits - 1)].bitmap().clone();
    for (size_t i = kOrderKeyBits - 1; i-- > 0 && !result.is_empty();) {
        result.and_inplace(slices_[i][key.bit(i)].bitmap());
    }
    return result;
}

void NumericalBitmap::insert_many(std::span<const uint32_t> ids, std::span<const OrderKey> keys) {
    check(ids.size() == keys.size(), "ids and keys differ in number");
    if (ids.empty()) return;
    OrderKey any{0, 0};
    OrderKey all{0xFFFF, ~uint64_t{0}};
    for (const OrderKey& k : keys) {
        any.head = static_cast<uint16_t>(any.head | k.head);
        any.mantissa |= k.mantissa;
        all.head = static_cast<uint16_t>(all.head & k.head);
        all.mantissa &= k.mantissa;
    }
    // Ids of objects made one after another are often consecutive: a shared bit
    // then adds them as one range.
    const bool consecutive = ids.back() >= ids.front() && ids.back() - ids.front() + 1 == ids.size();
    const auto add_all = [&](Bitmap& target) {
        if (consecutive) {
            target.add_range(ids.front(), ids.back());
        } else {
            target.add_many(ids);
        }
    };
    std::vector<uint32_t> ones;
    std::vector<uint32_t> zeros;
    ones.reserve(ids.size());
    zeros.reserve(ids.size());
    for (size_t bit = 0; bit < kOrderKeyBits; ++bit) {
        if (all.bit(bit)) {
            add_all(slices_[bit][1].bitmap());
        } else if (!any.bit(bit)) {
            add_all(slices_[bit][0].bitmap());
        } else {
            ones.clear();
            zeros.clear();
            for (size_t j = 0; j < ids.size(); ++j) (keys[j].bit(bit) ? ones : zeros).push_back(ids[j]);
            slices_[bit][1].bitmap().add_many(ones);
            slices_[bit][0].bitmap().add_many(zeros);
        }
    }
}

}  // namespace vorlane

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

}  // namespace vorlane

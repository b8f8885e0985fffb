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
    // Sides are split without branches: every id is written to both arrays and
    // only the matching side's count moves on.
    const size_t n = ids.size();
    std::vector<uint32_t> ones(n);
    std::vector<uint32_t> zeros(n);
    std::vector<uint64_t> mantissas(n);
    std::vector<uint64_t> heads(n);
    for (size_t j = 0; j < n; ++j) {
        mantissas[j] = keys[j].mantissa;
        heads[j] = keys[j].head;
    }
    for (size_t bit = 0; bit < kOrderKeyBits; ++bit) {
        if (all.bit(bit)) {
            add_all(slices_[bit][1].bitmap());
            continue;
        }
        if (!any.bit(bit)) {
            add_all(slices_[bit][0].bitmap());
            continue;
        }
        const uint64_t* words = bit >= 64 ? heads.data() : mantissas.data();
        const unsigned shift = static_cast<unsigned>(bit >= 64 ? bit - 64 : bit);
        size_t n_ones = 0;
        size_t n_zeros = 0;
        for (size_t j = 0; j < n; ++j) {
            const auto set = static_cast<size_t>((words[j] >> shift) & 1U);
            ones[n_ones] = ids[j];
            zeros[n_zeros] = ids[j];
            n_ones += set;
            n_zeros += 1 - set;
        }
        slices_[bit][1].bitmap().add_many(std::span(ones.data(), n_ones));
        slices_[bit][0].bitmap().add_many(std::span(zeros.data(), n_zeros));
    }
}

}  // namespace vorlane

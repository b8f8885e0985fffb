#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vorlane {

namespace {

// Mirror of the greater-than walk: where the key has a 1, the still-equal ids
// with a 0 there are smaller.
void less_into_base(const std::vector<NumericalBitmap::Slice>& slices, const OrderKey& key,
                    Bitmap& base, const Bitmap& candidates, bool inclusive) {
    detail::ScratchBitmap scratch;
    Bitmap& tmp = scratch.get();
    Bitmap equal = candidates.clone();
    for (size_t i = kOrderKeyBits; i-- > 0 && !equal.is_empty();) {
        const bool b = key.bit(i);
        if (b) {
            tmp.overwrite(equal);
            tmp.and_inplace(slices[i][0].bitmap());
            base.or_inplace(tmp);
        }
        equal.and_inplace(slices[i][b].bitmap());
    }
    if (inclusive) base.or_inplace(equal);
}

}  // namespace

void NumericalBitmap::get_lt_into_base(const OrderKey& key, Bitmap& base,
                                       const Bitmap& candidates) const {
    less_into_base(slices_, key, base, candidates, false);
}

void NumericalBitmap::get_lte_into_base(const OrderKey& key, Bitmap& base,
                                        const Bitmap& candidates) const {
    less_into_base(slices_, key, base, candidates, true);
}

}  // namespace vorlane

#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vorlane {

namespace {

// From the top bit down: where the key has a 0, the still-equal ids with a 1
// there are greater. Where the key has a 1 none can be, since every id sits in
// exactly one entry of a slice, so that round only narrows `equal`.
void greater_into_base(const std::vector<NumericalBitmap::Slice>& slices, const OrderKey& key,
                       Bitmap& base, const Bitmap& candidates, bool inclusive) {
    detail::ScratchBitmap scratch;
    Bitmap& tmp = scratch.get();
    Bitmap equal = candidates.clone();
    for (size_t i = kOrderKeyBits; i-- > 0 && !equal.is_empty();) {
        const bool b = key.bit(i);
        if (!b) {
            tmp.overwrite(equal);
            tmp.and_inplace(slices[i][1].bitmap());
            base.or_inplace(tmp);
        }
        equal.and_inplace(slices[i][b].bitmap());
    }
    if (inclusive) base.or_inplace(equal);
}

}  // namespace

void NumericalBitmap::get_gt_into_base(const OrderKey& key, Bitmap& base,
                                       const Bitmap& candidates) const {
    greater_into_base(slices_, key, base, candidates, false);
}

void NumericalBitmap::get_gte_into_base(const OrderKey& key, Bitmap& base,
                                        const Bitmap& candidates) const {
    greater_into_base(slices_, key, base, candidates, true);
}

}  // namespace vorlane

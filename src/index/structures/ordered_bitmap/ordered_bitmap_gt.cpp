#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vorlane {

void NumericalBitmap::get_gt_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates) const {
    range_into_base(key, base, candidates, true, false);
}

void NumericalBitmap::get_gte_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates) const {
    range_into_base(key, base, candidates, true, true);
}

}  // namespace vorlane

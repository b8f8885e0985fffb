#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vorlane {

void NumericalBitmap::get_lt_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates) const {
    range_into_base(key, base, candidates, false, false);
}

void NumericalBitmap::get_lte_into_base(const OrderKey& key, Bitmap& base, const Bitmap& candidates) const {
    range_into_base(key, base, candidates, false, true);
}

}  // namespace vorlane

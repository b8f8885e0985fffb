#include "index/core/query/delayed_query.hpp"

namespace vorlane {

BulkQueryMapAdder::BulkQueryMapAdder(QueryMap& map)
    : strings_(map.write_str_radix_map()), numbers_(map.write_num_ordered()), bools_(map.get_bool_map_writer()) {}

BulkQueryMapAdder::~BulkQueryMapAdder() {
    // Flushed even when unwinding: the ids pushed belong to objects that stay added.
    strings_->flush();
    numbers_->flush();
    for (auto& entry : *bools_) entry.flush();
}

void BulkQueryMapAdder::push_str(uint32_t id, std::string_view text) {
    const size_t n = text.size();
    if (n == 0) return;  // the empty string is in no structure
    PositionalBitmap& strings = *strings_;
    const size_t s = strings.start_of(n);
    strings.edge(s).push(id);
    for (size_t j = 0; j < n; ++j) strings.slot(s + j, static_cast<uint8_t>(text[j])).push(id);
    if (n > 1) strings.edge(s + n - 1).push(id);
}

}  // namespace vorlane

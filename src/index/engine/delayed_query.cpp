#include "index/engine/delayed_query.hpp"

namespace vorlane {

BulkQueryMapAdder::BulkQueryMapAdder(QueryMap& map)
    : strings_(map.write_str_radix_map()), numbers_(map.write_num_ordered()), bools_(map.get_bool_map_writer()) {}

BulkQueryMapAdder::~BulkQueryMapAdder() {
    // Flushed even when unwinding: the ids pushed belong to objects that stay added.
    strings_->flush();
    numbers_->flush();
    for (auto& entry : *bools_) entry.flush();
}

void BulkQueryMapAdder::push_str(uint32_t id, std::string_view text) { strings_->push(id, text); }

}  // namespace vorlane

#pragma once
// Bulk insertion into one value map: the map's number, string and boolean
// structures are locked once for a whole group of values, and ids are collected
// in the structures' small buffers and flushed into the bitmaps many at a time.
#include <cstdint>
#include <string_view>

#include "index/engine/query.hpp"

namespace vorlane {

class BulkQueryMapAdder {
public:
    explicit BulkQueryMapAdder(QueryMap& map);
    BulkQueryMapAdder(const BulkQueryMapAdder&) = delete;
    BulkQueryMapAdder& operator=(const BulkQueryMapAdder&) = delete;
    BulkQueryMapAdder(BulkQueryMapAdder&&) = delete;
    // Flushes every buffer, then releases the locks.
    ~BulkQueryMapAdder();

    void insert_numbers(std::span<const uint32_t> ids, std::span<const OrderKey> keys) {
        numbers_->insert_many(ids, keys);
    }
    void push_bool(uint32_t id, bool value) { (*bools_)[value ? 0 : 1].push(id); }
    // Reserving the longest string first saves growing the positions string by string.
    void push_str(uint32_t id, std::string_view text);
    void push_strs(std::span<const std::pair<uint32_t, std::string_view>> entries) { strings_->push_many(entries); }
    void reserve_strings(size_t longest) { strings_->reserve(longest); }

private:
    RwLock<PositionalBitmap>::WriteGuard strings_;
    RwLock<NumericalBitmap>::WriteGuard numbers_;
    RwLock<BoolMap>::WriteGuard bools_;
};

}  // namespace vorlane

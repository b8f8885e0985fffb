// The smallest and the largest number among a set's values of one attribute
// (or, without numbers, of the first kind of date, time or duration held),
// container elements included: one walk down the key bits of the ids that count.
#include "index/engine/answers.hpp"
#include "index/engine/index.hpp"

namespace vorlane {

std::optional<OrderKey> IndexAPI::extreme(uint32_t attr, bool largest, const Bitmap* base) const {
    auto maps = index->read();
    Bitmap members;
    base = &set_or_members(base, members);
    const QueryMap* map = maps->find(attr);
    if (map == nullptr) return std::nullopt;
    Bitmap storage;
    const Bitmap& candidates = answers::with_elements(*map, *base, storage);
    auto numbers = map->read_num_ordered();
    // Numbers when there are any; else the first kind of date, time or duration held.
    std::optional<OrderKey> best;
    answers::for_each_kind_part(*numbers, candidates, [&](const Bitmap& part) {
        if (numbers->is_small()) {
            numbers->for_each_small([&](uint32_t id, const OrderKey& key) {
                if (part.contains(id) && (!best || (largest ? *best < key : key < *best))) best = key;
            });
        } else if (const std::vector<uint32_t> top = answers::top_ids(*numbers, part, 1, largest); !top.empty()) {
            best = numbers->key_of(top.front());
        }
        return !best;
    });
    return best;
}

}  // namespace vorlane

#include "index/core/query/query.hpp"

#include "index/core/index.hpp"

namespace vorlane {

std::optional<OrderKey> number_key(const PyValue& v) {
    if (const auto* i = v.as<cast::Int>()) return int_order_key(i->value);
    if (const auto* f = v.as<cast::Float>()) return float_order_key(f->value);
    return std::nullopt;
}

namespace {
SharedItems items_of(const std::weak_ptr<IndexAPI>& parent) {
    if (auto owner = parent.lock()) return owner->items;
    return std::make_shared<RwLock<ItemsVec>>();
}
}  // namespace

QueryMap::QueryMap(std::weak_ptr<IndexAPI> owner)
    : exact(ExactMap::with_shard_count(ExactMap::kDefaultShardCount)),
      parent(owner),
      child_index(IndexAPI::create(owner)),
      parent_items(items_of(owner)) {}

void QueryMap::insert(const PyValue& v, uint32_t id) {
    switch (v.kind()) {
        case Kind::Int:
        case Kind::Float: insert_num_ordered(v, id); break;
        case Kind::Str: insert_str(v.as<cast::Str>()->value.view(), id); break;
        case Kind::Bool: {
            auto bools = get_bool_map_writer();
            (*bools)[v.as<cast::Bool>()->value ? 0 : 1].bitmap().add(id);
            break;
        }
        case Kind::Iterable:
            // Elements of containers are entered one by one under synthetic ids;
            // that arrives with container support.
            break;
        case Kind::Ind:
        case Kind::Unknown: insert_exact(v, id); break;
    }
}

void QueryMap::insert_num_ordered(const PyValue& number, uint32_t id) {
    const auto key = number_key(number);
    if (!key) return;  // NaN equals nothing and orders nowhere
    write_num_ordered()->insert(id, *key);
}

void QueryMap::insert_str(std::string_view text, uint32_t id) {
    auto strings = write_str_radix_map();
    const size_t n = text.size();
    strings->expand_map(n);
    if (n == 0) return;  // the empty string is in no structure
    const size_t s = strings->start_of(n);
    strings->edge(s).bitmap().add(id);
    for (size_t j = 0; j < n; ++j) strings->slot(s + j, static_cast<uint8_t>(text[j])).bitmap().add(id);
    strings->edge(s + n - 1).bitmap().add(id);
}

void QueryMap::insert_exact(const PyValue& v, uint32_t id) {
    auto shard = exact.get_shard(v);
    auto it = shard->find(v);
    if (it != shard->end()) {
        it->second.add(id);
    } else {
        HybridSet set;
        set.add(id);
        shard->emplace(v, std::move(set));
    }
}

void QueryMap::remove_id(const PyValue& v, uint32_t id) {
    switch (v.kind()) {
        case Kind::Int:
        case Kind::Float: remove_num_ordered(v, id); break;
        case Kind::Str: {
            const std::string_view text = v.as<cast::Str>()->value.view();
            if (text.empty()) break;
            auto strings = write_str_radix_map();
            const size_t s = strings->start_of(text.size());
            strings->edge(s).bitmap().remove(id);
            strings->edge(s + text.size() - 1).bitmap().remove(id);
            for (size_t j = 0; j < text.size(); ++j) {
                strings->slot(s + j, static_cast<uint8_t>(text[j])).bitmap().remove(id);
            }
            break;
        }
        case Kind::Bool: {
            auto bools = get_bool_map_writer();
            (*bools)[v.as<cast::Bool>()->value ? 0 : 1].bitmap().remove(id);
            break;
        }
        case Kind::Iterable: break;  // nothing was entered
        case Kind::Ind:
        case Kind::Unknown: remove_exact(v, id); break;
    }
}

void QueryMap::remove_num_ordered(const PyValue& number, uint32_t id) {
    const auto key = number_key(number);
    if (!key) return;
    write_num_ordered()->remove(id, *key);
}

void QueryMap::remove_exact(const PyValue& v, uint32_t id) {
    auto shard = exact.get_shard(v);
    auto it = shard->find(v);
    if (it == shard->end()) fail("called `Option::unwrap()` on a `None` value");
    it->second.remove(id);
}

void QueryMap::drop_exact_if_empty(const PyValue& v) {
    if (v.kind() != Kind::Ind && v.kind() != Kind::Unknown) return;
    auto shard = exact.get_shard(v);
    auto it = shard->find(v);
    if (it != shard->end() && it->second.is_empty()) shard->erase(it);
}

void QueryMap::unmask_ids(Bitmap& ids) const {
    Bitmap synthetic;
    {
        auto masked = masked_ids.read(kMapPoisoned);
        if (masked->is_empty()) return;
        synthetic = ids.and_(*masked);
    }
    if (synthetic.is_empty()) return;
    ids.andnot_inplace(synthetic);
    auto mapped = mapped_ids.read(kMapPoisoned);
    std::vector<uint32_t> holders;
    holders.reserve(1024);
    Bitmap translated;
    synthetic.for_each([&](uint32_t eid) {
        const auto it = mapped->find(eid);
        if (it == mapped->end()) return;
        holders.push_back(it->second);
        if (holders.size() == 1024) {
            translated.add_many(holders);
            holders.clear();
        }
    });
    translated.add_many(holders);
    ids.or_inplace(translated);
}

void QueryMap::retain(const Bitmap& keep) {
    exact.for_each_shard_mut([&](auto& shard) {
        for (auto& [value, set] : shard) set.retain(keep);
    });
    write_str_radix_map()->retain(keep);
    write_num_ordered()->retain(keep);
    {
        auto bools = get_bool_map_writer();
        for (auto& entry : *bools) {
            entry.flush();
            entry.bitmap().and_inplace(keep);
        }
    }
    Bitmap dropped;
    {
        auto masked = get_masked_ids_writer();
        dropped = masked->andnot(keep);
        masked->and_inplace(keep);
    }
    if (!dropped.is_empty()) {
        auto mapped = get_mapped_ids_writer();
        dropped.for_each([&](uint32_t eid) { mapped->erase(eid); });
    }
}

}  // namespace vorlane

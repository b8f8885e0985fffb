#include "index/core/query/query.hpp"

#include <algorithm>

#include "index/core/id_alloc.hpp"
#include "index/core/index.hpp"
#include "python/boundary.hpp"
#include "python/gil.hpp"

namespace vorlane {

std::optional<OrderKey> number_key(const PyValue& v) {
    if (const auto* i = v.as<cast::Int>()) return int_order_key(i->value);
    if (const auto* f = v.as<cast::Float>()) return float_order_key(f->value);
    return std::nullopt;
}

namespace {
// Containers being entered on this thread, outermost first: a container that
// holds itself is not entered again, and nesting stays within a fixed depth.
thread_local std::vector<const PyObject*> t_entering;

class EnteringContainer {
public:
    explicit EnteringContainer(const PyObject* container) {
        for (const PyObject* c : t_entering) {
            if (c == container) return;
        }
        if (t_entering.size() >= kMaxContainerDepth) {
            throw py::ConversionError(PyExc_RecursionError, "containers nested too deeply to be indexed");
        }
        t_entering.push_back(container);
        entered_ = true;
    }
    EnteringContainer(const EnteringContainer&) = delete;
    EnteringContainer& operator=(const EnteringContainer&) = delete;
    ~EnteringContainer() {
        if (entered_) t_entering.pop_back();
    }
    bool entered() const noexcept { return entered_; }

private:
    bool entered_ = false;
};
}  // namespace

QueryMap::QueryMap(std::weak_ptr<IndexAPI> owner)
    : exact(ExactMap::with_shard_count(ExactMap::kDefaultShardCount)), parent(std::move(owner)) {}

std::shared_ptr<IndexAPI> QueryMap::child_index() const {
    std::lock_guard lock(child_mutex_);
    return child_index_;
}

std::shared_ptr<IndexAPI> QueryMap::ensure_child_index() {
    std::lock_guard lock(child_mutex_);
    if (child_index_ == nullptr) child_index_ = IndexAPI::create(parent);
    return child_index_;
}

void ElementLedger::add(uint32_t eid, uint32_t holder, PyValue value) {
    const uint32_t first = first_.find(holder);
    const uint32_t next = first == PagedIdMap::kNone ? kEnd : first - 1;
    uint32_t slot;
    if (!free_slots_.empty()) {
        slot = free_slots_.back();
        free_slots_.pop_back();
        entries_[slot] = Entry{eid, holder, next, std::move(value)};
    } else {
        check(entries_.size() < kEnd - 1, "element ledger full");
        slot = static_cast<uint32_t>(entries_.size());
        entries_.push_back(Entry{eid, holder, next, std::move(value)});
    }
    first_.insert(holder, slot + 1);
    ++live_;
}

std::vector<std::pair<uint32_t, PyValue>> ElementLedger::take(uint32_t holder) {
    std::vector<std::pair<uint32_t, PyValue>> out;
    const uint32_t first = first_.find(holder);
    if (first == PagedIdMap::kNone) return out;
    for (uint32_t i = first - 1; i != kEnd;) {
        Entry& e = entries_[i];
        const uint32_t next = e.next;
        out.emplace_back(e.eid, std::move(*e.value));
        release(e);
        i = next;
    }
    first_.erase(holder);
    return out;
}

void ElementLedger::release(Entry& e) {
    e.value.reset();
    e.next = kEnd;
    free_slots_.push_back(static_cast<uint32_t>(&e - entries_.data()));
    --live_;
}

void ElementLedger::rechain() {
    first_ = PagedIdMap();
    for (uint32_t i = 0; i < entries_.size(); ++i) {
        Entry& e = entries_[i];
        if (!e.value) continue;
        const uint32_t first = first_.find(e.holder);
        e.next = first == PagedIdMap::kNone ? kEnd : first - 1;
        first_.insert(e.holder, i + 1);
    }
}

QueryMap::~QueryMap() {
    if (masked_ids.is_poisoned()) return;
    free_ids(masked_ids.read()->to_vector());  // ascending: the next bulk add takes them in bitmap order
}

void QueryMap::insert(const PyValue& v, uint32_t id, uint32_t root) {
    switch (v.kind()) {
        case Kind::Int:
        case Kind::Float: insert_num_ordered(v, id); break;
        case Kind::Str: insert_str(v.as<cast::Str>()->value.view(), id); break;
        case Kind::Bool: {
            auto bools = get_bool_map_writer();
            (*bools)[v.as<cast::Bool>()->value ? 0 : 1].bitmap().add(id);
            break;
        }
        case Kind::Iterable: insert_iterable(v.as<cast::Iterable>()->value, id, root); break;
        case Kind::Ind: {
            insert_exact(v, id);
            hold_nested(root, v.as<cast::Ind>()->value);
            break;
        }
        case Kind::Unknown: insert_exact(v, id); break;
    }
}

void QueryMap::hold_nested(uint32_t holder, const StoredIndexable& nested) {
    auto child = ensure_child_index();
    child->register_path(holder, nested.record().id);
    defer_nested(NestedWork{parent, std::move(child), holder, nested});
}

void QueryMap::insert_iterable(const PyIterable& container, uint32_t id, uint32_t root) {
    EnteringContainer entering(container.container.get());
    if (!entering.entered()) return;
    // Elements checked before the operation took any lock are entered as they
    // were converted then; only containers nobody prepared are read here.
    if (const auto prepared = PreparedScope::find(container.container.get())) {
        enter_elements(*prepared, id, root);
        return;
    }
    std::vector<PyValue> values;
    {
        py::GilAcquire gil;
        values = convert_elements(container);
    }
    enter_elements(values, id, root);
}

void QueryMap::enter_elements(std::span<const PyValue> values, uint32_t id, uint32_t root) {
    for (const PyValue& ev : values) {
        const uint32_t eid = allocate_id();
        get_mapped_ids_writer()->insert(eid, id);
        get_masked_ids_writer()->add(eid);
        elements.write(kMapPoisoned)->add(eid, id, ev);
        insert(ev, eid, root);
    }
}

void QueryMap::merge_from(const QueryMap& other, const Bitmap& objects, const Bitmap& skip_elements_of) {
    // Exact values: every id set of `other`, cut to its stored objects.
    for (size_t shard = 0; shard < other.exact.shard_count(); ++shard) {
        std::vector<std::pair<PyValue, Bitmap>> entries;
        {
            auto theirs = other.exact.read_shard(shard);
            for (const auto& [value, set] : *theirs) {
                Bitmap ids = set.to_bitmap();
                ids.and_inplace(objects);
                if (!ids.is_empty()) entries.emplace_back(value, std::move(ids));
            }
        }
        for (auto& [value, ids] : entries) {
            // A nested object held directly: one pair per holder new to this map
            // (holders already here have their own value, and its pair).
            if (const auto* nested = value.as<cast::Ind>()) {
                ids.andnot(skip_elements_of).for_each([&](uint32_t holder) { hold_nested(holder, nested->value); });
            }
            auto mine = exact.get_shard(value);
            auto it = mine->find(value);
            if (it == mine->end()) {
                mine->emplace(value, HybridSet::from_bitmap(std::move(ids)));
            } else {
                it->second.union_with(HybridSet::from_bitmap(std::move(ids)));
            }
        }
    }
    // Numbers, strings and booleans, bitmap by bitmap.
    {
        auto theirs = other.read_str_radix_map();
        write_str_radix_map()->merge_from(*theirs, objects);
    }
    {
        auto theirs = other.read_num_ordered();
        write_num_ordered()->merge_from(*theirs, objects);
    }
    {
        auto theirs = other.bool_map.read(kMapPoisoned);
        auto mine = get_bool_map_writer();
        for (size_t side = 0; side < 2; ++side) (*mine)[side].bitmap().or_inplace((*theirs)[side].bitmap().and_(objects));
    }
    // Container elements get ids of this map's own: an element id belongs to one map.
    std::vector<std::pair<uint32_t, std::vector<PyValue>>> holders;
    {
        auto ledger = other.elements.read(kMapPoisoned);
        std::unordered_map<uint32_t, size_t> slot_of;
        ledger->for_each([&](uint32_t holder, uint32_t, const PyValue& value) {
            if (!objects.contains(holder) || skip_elements_of.contains(holder)) return;
            auto [it, fresh] = slot_of.emplace(holder, holders.size());
            if (fresh) holders.emplace_back(holder, std::vector<PyValue>());
            holders[it->second].second.push_back(value);
        });
    }
    for (const auto& [holder, values] : holders) enter_elements(values, holder, holder);
}

void QueryMap::insert_num_ordered(const PyValue& number, uint32_t id) {
    const auto key = number_key(number);
    if (!key) return;  // NaN equals nothing and orders nowhere
    write_num_ordered()->insert(id, *key);
}

void QueryMap::insert_str(std::string_view text, uint32_t id) { write_str_radix_map()->insert(id, text); }

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

RwLock<NumericalBitmap>::ReadGuard QueryMap::read_num_ordered() const {
    {
        auto numbers = num_ordered.read(kMapPoisoned);
        if (!numbers->has_waiting_removals()) return numbers;
    }
    // Settling changes how the ids are laid out, not which ids have which key.
    const_cast<RwLock<NumericalBitmap>&>(num_ordered).write(kMapPoisoned)->settle_removals();
    return num_ordered.read(kMapPoisoned);
}

RwLock<PositionalBitmap>::ReadGuard QueryMap::read_str_radix_map() const {
    {
        auto strings = str_radix_map.read(kMapPoisoned);
        if (!strings->has_waiting_removals()) return strings;
    }
    const_cast<RwLock<PositionalBitmap>&>(str_radix_map).write(kMapPoisoned)->settle_removals();
    return str_radix_map.read(kMapPoisoned);
}

void QueryMap::remove_id(const PyValue& v, uint32_t id, uint32_t root, Removal how) {
    switch (v.kind()) {
        case Kind::Int:
        case Kind::Float: remove_num_ordered(v, id, how); break;
        case Kind::Str: {
            const std::string_view text = v.as<cast::Str>()->value.view();
            if (how == Removal::Batched) {
                write_str_radix_map()->remove_soon(id, text);
            } else {
                write_str_radix_map()->remove(id, text);
            }
            break;
        }
        case Kind::Bool: {
            auto bools = get_bool_map_writer();
            (*bools)[v.as<cast::Bool>()->value ? 0 : 1].bitmap().remove(id);
            break;
        }
        case Kind::Iterable: remove_elements(id, root, how); break;
        case Kind::Ind: {
            remove_exact(v, id);
            drop_exact_if_empty(v);
            const StoredIndexable& nested = v.as<cast::Ind>()->value;
            // Its last holder here let go: it leaves the child index afterwards.
            auto child = child_index();
            if (child != nullptr && child->unregister_path(root, nested.record().id)) {
                defer_nested(NestedWork{parent, std::move(child), root, nested, true});
            }
            break;
        }
        case Kind::Unknown:
            remove_exact(v, id);
            drop_exact_if_empty(v);
            break;
    }
}

void QueryMap::remove_elements(uint32_t holder, uint32_t root, Removal how) {
    std::vector<std::pair<uint32_t, PyValue>> taken = elements.write(kMapPoisoned)->take(holder);
    for (auto& [eid, value] : taken) {
        get_mapped_ids_writer()->erase(eid);
        get_masked_ids_writer()->remove(eid);
        remove_id(value, eid, root, how);  // no lock of this map is held here
        free_id(eid);
    }
}

void QueryMap::remove_num_ordered(const PyValue& number, uint32_t id, Removal how) {
    const auto key = number_key(number);
    if (!key) return;
    if (how == Removal::Batched) {
        write_num_ordered()->remove_soon(id, *key);
    } else {
        write_num_ordered()->remove(id, *key);
    }
}

void QueryMap::remove_exact(const PyValue& v, uint32_t id) {
    auto shard = exact.get_shard(v);
    auto it = shard->find(v);
    // No entry: the id is not there (an object narrowed away whose value's entry
    // went with its last other holder); removing nothing is the sound answer.
    if (it == shard->end()) return;
    if (it->second.form() != HybridSet::Form::Empty) it->second.remove(id);
}

void QueryMap::drop_exact_if_empty(const PyValue& v) {
    if (v.kind() != Kind::Ind && v.kind() != Kind::Unknown) return;
    auto shard = exact.get_shard(v);
    auto it = shard->find(v);
    if (it != shard->end() && it->second.is_empty()) shard->erase(it);
}

void QueryMap::unmask_ids(Bitmap& ids) const {
    // Elements of containers inside containers map to outer elements: translate
    // until only stored objects remain. Each round climbs one level of nesting.
    for (;;) {
        Bitmap synthetic;
        {
            auto masked = masked_ids.read(kMapPoisoned);
            if (masked->is_empty()) return;
            synthetic = ids.and_(*masked);
        }
        if (synthetic.is_empty()) return;
        ids.andnot_inplace(synthetic);
        // Holders come out nearly in ascending order (elements take ids in the
        // order of their holders), the order bitmaps take ids in cheaply.
        std::vector<uint32_t> holders(Bitmap::kBlock);
        Bitmap translated;
        {
            auto mapped = mapped_ids.read(kMapPoisoned);
            synthetic.for_each_block([&](std::span<const uint32_t> eids) {
                mapped->find_many(eids, holders.data());
                const auto found = std::remove(holders.begin(), holders.begin() + static_cast<std::ptrdiff_t>(eids.size()),
                                               PagedIdMap::kNone);
                translated.add_many(std::span<const uint32_t>(holders.data(), static_cast<size_t>(found - holders.begin())));
            });
        }
        ids.or_inplace(translated);
    }
}

void QueryMap::retain(const Bitmap& keep) {
    // Extend `keep` with the elements of kept holders, level by level.
    Bitmap kept = keep.clone();
    std::vector<uint32_t> dropped_elements;
    {
        auto ledger = elements.write(kMapPoisoned);
        for (bool grew = true; grew;) {
            grew = false;
            ledger->for_each([&](uint32_t holder, uint32_t eid, const PyValue&) {
                if (kept.contains(holder) && !kept.contains(eid)) {
                    kept.add(eid);
                    grew = true;
                }
            });
        }
        dropped_elements = ledger->drop_unless([&](uint32_t holder) { return kept.contains(holder); });
    }
    exact.for_each_shard_mut([&](auto& shard) {
        // An entry left without ids goes, with the value (and object) it holds.
        for (auto it = shard.begin(); it != shard.end();) {
            it->second.retain(kept);
            it = it->second.is_empty() ? shard.erase(it) : std::next(it);
        }
    });
    write_str_radix_map()->retain(kept);
    write_num_ordered()->retain(kept);
    {
        auto bools = get_bool_map_writer();
        for (auto& entry : *bools) {
            entry.flush();
            entry.bitmap().and_inplace(kept);
        }
    }
    {
        auto mapped = get_mapped_ids_writer();
        for (uint32_t eid : dropped_elements) mapped->erase(eid);
    }
    {
        auto masked = get_masked_ids_writer();
        for (uint32_t eid : dropped_elements) masked->remove(eid);
    }
    for (uint32_t eid : dropped_elements) free_id(eid);
}

}  // namespace vorlane

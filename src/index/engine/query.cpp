#include "index/engine/query.hpp"

#include <algorithm>

#include "index/structures/id_alloc.hpp"
#include "index/engine/index.hpp"
#include "index/structures/heap_bytes.hpp"
#include "index/engine/conversion.hpp"
#include "python/gil.hpp"

namespace vorlane {

std::optional<OrderKey> number_key(const PyValue& v) {
    if (const auto* i = v.as<cast::Int>()) return int_order_key(i->value);
    if (const auto* f = v.as<cast::Float>()) return float_order_key(f->value);
    if (const auto* t = v.as<cast::Time>()) return t->key();
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
            throw NestingTooDeep();
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

QueryMap::QueryMap(std::weak_ptr<IndexAPI> owner_core)
    : exact(ExactMap::with_shard_count(ExactMap::kDefaultShardCount)), owner(std::move(owner_core)) {}

void ElementLedger::add(uint32_t eid, uint32_t holder, PyValue value) {
    const uint32_t first = first_.find(holder);
    const uint32_t next = first == PagedIdMap::kNone ? kEnd : first - 1;
    if (first == PagedIdMap::kNone) ++holders_;
    uint32_t slot;
    if (!free_slots_.empty()) {
        slot = free_slots_.back();
        free_slots_.pop_back();
        entries_[slot] = Entry{eid, holder, next, std::move(value)};
    } else {
        check(entries_.size() < kEnd - 1, "element ledger full");
        slot = static_cast<uint32_t>(entries_.size());
        entries_.emplace_back(Entry{eid, holder, next, std::move(value)});
    }
    first_.insert(holder, slot + 1);
    ++live_;
}

void ElementLedger::take(uint32_t holder, std::vector<std::pair<uint32_t, PyValue>>& out) {
    const uint32_t first = first_.find(holder);
    if (first == PagedIdMap::kNone) return;
    for (uint32_t i = first - 1; i != kEnd;) {
        Entry& e = entries_[i];
        const uint32_t next = e.next;
        out.emplace_back(e.eid, std::move(*e.value));
        release(i);
        i = next;
    }
    first_.erase(holder);
    --holders_;
}

void ElementLedger::release(uint32_t slot) {
    Entry& e = entries_[slot];
    e.value.reset();
    e.next = kEnd;
    free_slots_.push_back(slot);
    --live_;
}

namespace {
// The heap a value owns beside its 24 bytes: the buffer of a long string.
// Containers, nested objects and other values hold a Python object, which is
// not the index's memory.
size_t value_heap_bytes(const PyValue& v) noexcept {
    const auto* text = v.as<cast::Str>();
    return text != nullptr ? text->value.memory_bytes() : 0;
}
}  // namespace

size_t ElementLedger::memory_bytes() const noexcept {
    size_t n = entries_.memory_bytes() + vector_bytes(free_slots_) + first_.memory_bytes();
    entries_.for_each([&](const Entry& e) {
        if (e.value) n += value_heap_bytes(*e.value);
    });
    return n;
}

size_t QueryMap::memory_bytes() const {
    // The map's locks in turn, never two at once. Batched removals are not
    // settled: they are counted as they wait.
    size_t n = exact.memory_bytes(
        [](const PyValue& v, const HybridSet& ids) { return value_heap_bytes(v) + ids.memory_bytes(); });
    n += str_radix_map.read(kMapPoisoned)->memory_bytes();
    n += num_ordered.read(kMapPoisoned)->memory_bytes();
    {
        const auto bools = bool_map.read(kMapPoisoned);
        n += (*bools)[0].memory_bytes() + (*bools)[1].memory_bytes();
    }
    n += links.read(kMapPoisoned)->memory_bytes();
    n += mapped_ids.read(kMapPoisoned)->memory_bytes();
    n += masked_ids.read(kMapPoisoned)->memory_bytes();
    n += elements.read(kMapPoisoned)->memory_bytes();
    return n;
}

QueryMap::~QueryMap() {
    if (masked_ids.is_poisoned()) return;
    free_ids(masked_ids.read()->to_vector());  // ascending: the next bulk add takes them in bitmap order
}

void QueryMap::insert(const PyValue& v, uint32_t id, uint32_t root) {
    switch (v.kind()) {
        case Kind::Int:
        case Kind::Float:
        case Kind::Time: insert_num_ordered(v, id); break;
        case Kind::Str: insert_str(v.as<cast::Str>()->value.view(), id); break;
        case Kind::Bool: {
            auto bools = get_bool_map_writer();
            (*bools)[v.as<cast::Bool>()->value ? 0 : 1].bitmap().add(id);
            break;
        }
        case Kind::Iterable: insert_iterable(v.as<cast::Iterable>()->value, id, root); break;
        // A nested object is its links: equality with it is the set of its holders.
        case Kind::Ind: hold_nested(root, v.as<cast::Ind>()->value); break;
        case Kind::Unknown: insert_exact(v, id); break;
    }
}

void QueryMap::replace(const PyValue& before, const PyValue& after, uint32_t id) {
    if (const auto old_key = number_key(before)) {
        if (const auto new_key = number_key(after)) {
            write_num_ordered()->replace_soon(id, *old_key, *new_key);
            return;
        }
    }
    const auto* old_text = before.as<cast::Str>();
    const auto* new_text = after.as<cast::Str>();
    if (old_text != nullptr && new_text != nullptr) {
        write_str_radix_map()->replace_soon(id, old_text->value.view(), new_text->value.view());
        return;
    }
    remove_id(before, id, id);
    insert(after, id, id);
}

void QueryMap::hold_nested(uint32_t holder, const StoredIndexable& nested) {
    const std::pair<uint32_t, const StoredIndexable*> link{holder, &nested};
    hold_many(std::span(&link, 1));
}

void QueryMap::hold_many(std::span<const std::pair<uint32_t, const StoredIndexable*>> held) {
    if (held.empty()) return;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    pairs.reserve(held.size());
    for (const auto& [holder, nested] : held) pairs.emplace_back(holder, nested->id);
    links.write(kMapPoisoned)->insert_many(pairs);
    const auto core = owner.lock();
    check(core != nullptr, "value map outlived its index");
    std::vector<const StoredIndexable*> unstored;
    {
        auto graph = core->get_graph_writer();
        for (const auto& [holder, nested] : held) {
            if (graph->hold(nested->id)) unstored.push_back(nested);
        }
    }
    // One store each, however many of the links hold it.
    Bitmap deferred;
    for (const StoredIndexable* nested : unstored) {
        if (deferred.add_checked(nested->id)) defer_nested(NestedWork{owner, *nested, NestedWork::Kind::Store});
    }
}

void QueryMap::release_nested(uint32_t holder, const StoredIndexable& nested) {
    const uint32_t nid = nested.id;
    // A link entered by an object that left meanwhile is gone already.
    if (!links.write(kMapPoisoned)->remove(holder, nid)) return;
    const auto core = owner.lock();
    check(core != nullptr, "value map outlived its index");
    bool released = false;
    bool trace = false;
    {
        auto graph = core->get_graph_writer();
        released = graph->unhold(nid);
        trace = graph->take_trace_turn();
    }
    if (released) defer_nested(NestedWork{owner, nested, NestedWork::Kind::Drop});
    if (trace) defer_nested(NestedWork{owner, StoredIndexable{}, NestedWork::Kind::Trace});
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
        values = g_conversion.elements(container);
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

void QueryMap::insert_num_ordered(const PyValue& number, uint32_t id) {
    const auto key = number_key(number);
    if (!key) return;  // NaN equals nothing and orders nowhere
    // Waits for the structure's next read, as writes do: objects added one by
    // one then enter each bitmap in sorted groups.
    write_num_ordered()->insert_soon(id, *key);
}

void QueryMap::insert_str(std::string_view text, uint32_t id) { write_str_radix_map()->insert_soon(id, text); }

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
        case Kind::Float:
        case Kind::Time: remove_num_ordered(v, id, how); break;
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
        case Kind::Ind: release_nested(root, v.as<cast::Ind>()->value); break;
        case Kind::Unknown:
            remove_exact(v, id);
            drop_exact_if_empty(v);
            break;
    }
}

namespace {
// The elements taken out of one holder, kept per depth of containers being
// removed on this thread (a container element is removed inside the removal
// of its holder), so that removing an object's few elements allocates nothing.
struct TakenElements {
    std::vector<std::pair<uint32_t, PyValue>> entries;
    std::vector<uint32_t> eids;
};
thread_local std::vector<std::unique_ptr<TakenElements>> t_taken;
thread_local size_t t_taken_depth = 0;

class TakenScope {
public:
    TakenScope() {
        if (t_taken.size() <= t_taken_depth) t_taken.push_back(std::make_unique<TakenElements>());
        taken_ = t_taken[t_taken_depth++].get();
    }
    TakenScope(const TakenScope&) = delete;
    TakenScope& operator=(const TakenScope&) = delete;
    ~TakenScope() {
        --t_taken_depth;
        // A large container's lists are not kept for the next removal.
        if (taken_->entries.capacity() > 1024) {
            *taken_ = TakenElements{};
        } else {
            taken_->entries.clear();
            taken_->eids.clear();
        }
    }
    TakenElements& operator*() const noexcept { return *taken_; }
    TakenElements* operator->() const noexcept { return taken_; }

private:
    TakenElements* taken_;
};
}  // namespace

void QueryMap::remove_elements(uint32_t holder, uint32_t root, Removal how) {
    TakenScope taken;
    elements.write(kMapPoisoned)->take(holder, taken->entries);
    if (taken->entries.empty()) return;
    auto& eids = taken->eids;
    for (const auto& entry : taken->entries) eids.push_back(entry.first);
    {
        auto mapped = get_mapped_ids_writer();
        for (const uint32_t eid : eids) mapped->erase(eid);
    }
    {
        auto masked = get_masked_ids_writer();
        for (const uint32_t eid : eids) masked->remove(eid);
    }
    // No lock of this map is held here. Strings and numbers that may wait
    // join their structure's batch under one hold of its lock each; the
    // other kinds leave one by one.
    bool any_text = false;
    bool any_number = false;
    for (auto& [eid, value] : taken->entries) {
        const Kind kind = value.kind();
        if (how == Removal::Batched && kind == Kind::Str) {
            any_text = true;
        } else if (how == Removal::Batched && has_order_key(kind)) {
            any_number = true;
        } else {
            remove_id(value, eid, root, how);
        }
    }
    if (any_text) {
        auto strings = write_str_radix_map();
        for (const auto& [eid, value] : taken->entries) {
            if (const auto* text = value.as<cast::Str>()) strings->remove_soon(eid, text->value.view());
        }
    }
    if (any_number) {
        auto numbers = write_num_ordered();
        for (const auto& [eid, value] : taken->entries) {
            if (!has_order_key(value.kind())) continue;
            if (const auto key = number_key(value)) numbers->remove_soon(eid, *key);
        }
    }
    free_ids(eids);
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


}  // namespace vorlane

#include "index/structures/string_interner.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "index/structures/errors.hpp"
#include "index/structures/fxhash.hpp"

namespace vorlane {

InternedStr::InternedStr(std::string_view text) : size_(text.size()) {
    // One spare byte so that even the empty name owns a buffer.
    auto bytes = std::make_shared_for_overwrite<char[]>(text.size() + 1);
    std::memcpy(bytes.get(), text.data(), text.size());
    bytes[text.size()] = '\0';
    bytes_ = std::move(bytes);
}

namespace detail {

NameChunks::NameChunks() { chunks_[0] = std::make_unique<NameEntry[]>(kFirstChunk); }

size_t NameChunks::chunk_of(uint32_t id) noexcept {
    // Chunk c holds ids from 1024 * (2^c - 1) on, so id / 1024 + 1 lies in [2^c, 2^(c+1)).
    return static_cast<size_t>(std::bit_width(size_t{id} / kFirstChunk + 1)) - 1;
}

const NameEntry& NameChunks::at(uint32_t id) const noexcept {
    const size_t chunk = chunk_of(id);
    return chunks_[chunk][id - chunk_base(chunk)];
}

void NameChunks::append(uint32_t id, NameEntry entry) {
    const size_t chunk = chunk_of(id);
    const size_t offset = id - chunk_base(chunk);
    if (offset == 0 && !chunks_[chunk]) {
        chunks_[chunk] = std::make_unique<NameEntry[]>(kFirstChunk << chunk);
    }
    chunks_[chunk][offset] = std::move(entry);
}

namespace {
constexpr uint64_t tag_of(uint64_t hash) noexcept { return hash >> 32; }
constexpr uint64_t slot_word(uint64_t hash, uint32_t id) noexcept {
    return (tag_of(hash) << 32) | (uint64_t{id} + 1);
}
}  // namespace

IdTable::IdTable(size_t buckets)
    : mask_(buckets - 1), slots_(std::make_unique<std::atomic<uint64_t>[]>(buckets)) {
    for (size_t i = 0; i < buckets; ++i) slots_[i].store(0, std::memory_order_relaxed);
}

void IdTable::insert(uint64_t hash, uint32_t id) noexcept {
    size_t i = hash & mask_;
    while (slots_[i].load(std::memory_order_relaxed) != 0) i = (i + 1) & mask_;
    slots_[i].store(slot_word(hash, id), std::memory_order_release);
}

std::optional<uint32_t> IdTable::find(std::string_view name, uint64_t hash, uint32_t limit,
                                      const NameChunks& names) const noexcept {
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
        const uint64_t word = slots_[i].load(std::memory_order_acquire);
        if (word == 0) return std::nullopt;
        if ((word >> 32) != tag_of(hash)) continue;
        const uint32_t id = static_cast<uint32_t>(word) - 1;
        // Filled after this snapshot was published: not ours, and possibly
        // still being written.
        if (id >= limit) continue;
        const NameEntry& entry = names.at(id);
        if (entry.hash == hash && entry.name.view() == name) return id;
    }
}

}  // namespace detail

std::optional<uint32_t> ImmutableInterner::get(std::string_view name) const noexcept {
    if (size_ == 0) return std::nullopt;
    return table_->find(name, hash_str(name), size_, *names_);
}

uint64_t ImmutableInterner::hash_str(std::string_view name) noexcept {
    FxHasher hasher;
    hasher.write_bytes(name);
    return hasher.finish();
}

std::string_view ImmutableInterner::name(uint32_t id) const {
    if (id >= size_) fail("attribute id beyond the interned names");
    return names_->at(id).name.view();
}

MutableInterner::MutableInterner() {
    tables_.push_back(std::make_unique<detail::IdTable>(kInitialBuckets));
}

std::optional<uint32_t> MutableInterner::find(std::string_view name, uint64_t hash) const noexcept {
    return tables_.back()->find(name, hash, size_, names_);
}

uint32_t MutableInterner::add(std::string_view name, uint64_t hash) {
    check(size_ < std::numeric_limits<uint32_t>::max(), "attribute name space exhausted");
    const uint32_t id = size_;
    names_.append(id, detail::NameEntry{InternedStr(name), hash});
    // Keep the table at most half full so probe runs stay short.
    detail::IdTable* table = tables_.back().get();
    if ((size_t{id} + 1) * 2 > table->buckets()) {
        // Readers of older snapshots may still probe the current table, so the
        // bigger one is a fresh table and the old one is kept, unchanged.
        auto bigger = std::make_unique<detail::IdTable>(table->buckets() * 2);
        for (uint32_t old = 0; old < id; ++old) bigger->insert(names_.at(old).hash, old);
        tables_.push_back(std::move(bigger));
        table = tables_.back().get();
    }
    table->insert(hash, id);
    size_ = id + 1;
    return id;
}

const ImmutableInterner& MutableInterner::freeze() {
    snapshots_.push_back(std::unique_ptr<ImmutableInterner>(
        new ImmutableInterner(&names_, tables_.back().get(), size_)));
    return *snapshots_.back();
}

StrInterner::StrInterner() : current_(&writer_.lock()->freeze()) {}

StrInterner& StrInterner::global() {
    // Never destroyed: snapshots handed out must outlive every reader, including
    // objects released during interpreter shutdown.
    static auto* interner = new StrInterner();
    return *interner;
}

uint32_t StrInterner::intern(std::string_view name) {
    if (auto id = snapshot().get(name)) return *id;
    auto writer = writer_.lock();
    const uint64_t hash = ImmutableInterner::hash_str(name);
    // Another writer may have added it since the lock-free look; every writer
    // publishes before unlocking, so the current snapshot already has it.
    if (auto id = writer->find(name, hash)) return *id;
    const uint32_t id = writer->add(name, hash);
    current_.store(&writer->freeze(), std::memory_order_release);
    return id;
}

}  // namespace vorlane

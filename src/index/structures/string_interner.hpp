#pragma once
// The process-wide attribute-name interner: every distinct attribute name gets a
// dense 32-bit id, the same in every object and every index.
//
// Reads vastly outnumber new names, so readers never lock: they use an
// immutable snapshot published through one atomic pointer. Writers serialise on
// one mutex and publish a new snapshot after each new name.
//
// Names only ever grow, so a snapshot does not copy anything: names live in
// chunks that never move and ids in an append-only hash table, and a snapshot
// is (chunks, table, size) - it simply ignores ids at or beyond its size. Every
// published snapshot is kept until the interner goes away (for the global
// interner: the end of the process), which is what lets readers borrow one
// without any reference counting. Each snapshot costs a few words, and a
// table outgrown by the writer is kept for the snapshots that still point at
// it; both add up to memory linear in the number of names.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "index/structures/locks.hpp"

namespace vorlane {

// An immutable name in a shared, reference-counted buffer; copies share it.
class InternedStr {
public:
    InternedStr() noexcept = default;
    explicit InternedStr(std::string_view text);

    std::string_view view() const noexcept { return {bytes_.get(), size_}; }
    size_t size() const noexcept { return size_; }

private:
    std::shared_ptr<const char[]> bytes_;
    size_t size_ = 0;
};

namespace detail {

struct NameEntry {
    InternedStr name;
    uint64_t hash = 0;
};

// Names by id, in chunks of 1024, 2048, 4096, ... that never move once
// allocated, so readers of a snapshot keep reading entries below its size
// while the writer appends beyond it.
class NameChunks {
public:
    static constexpr size_t kFirstChunk = 1024;
    // 1024 * (2^23 - 1) entries exceed the 32-bit id space.
    static constexpr size_t kChunks = 23;

    NameChunks();
    const NameEntry& at(uint32_t id) const noexcept;
    // Writer only: stores the entry of the next id.
    void append(uint32_t id, NameEntry entry);

private:
    static size_t chunk_of(uint32_t id) noexcept;
    static size_t chunk_base(size_t chunk) noexcept {
        return kFirstChunk * ((size_t{1} << chunk) - 1);
    }

    std::unique_ptr<NameEntry[]> chunks_[kChunks];
};

// Open-addressing table of ids keyed by name hash; no removal. A slot holds
// the high half of the hash as a tag and id + 1 (0 marks an empty slot) in
// one atomic word, so readers may probe while the writer fills other slots.
class IdTable {
public:
    explicit IdTable(size_t buckets);
    size_t buckets() const noexcept { return mask_ + 1; }

    // Writer only.
    void insert(uint64_t hash, uint32_t id) noexcept;
    // The id < `limit` whose name is `name`, or nothing. Ids at or beyond
    // `limit` belong to later snapshots and are skipped unread.
    std::optional<uint32_t> find(std::string_view name, uint64_t hash, uint32_t limit,
                                 const NameChunks& names) const noexcept;

private:
    size_t mask_;
    std::unique_ptr<std::atomic<uint64_t>[]> slots_;
};

}  // namespace detail

// A published, never-changing view of the interned names: ids 0 to size() - 1.
class ImmutableInterner {
public:
    std::optional<uint32_t> get(std::string_view name) const noexcept;
    // FxHash of the name bytes; seedless, so the same in every process.
    static uint64_t hash_str(std::string_view name) noexcept;
    // The name of `id`; an id this snapshot does not hold is an internal error.
    std::string_view name(uint32_t id) const;
    size_t size() const noexcept { return size_; }

private:
    friend class MutableInterner;
    ImmutableInterner(const detail::NameChunks* names, const detail::IdTable* table,
                      uint32_t size) noexcept
        : names_(names), table_(table), size_(size) {}

    const detail::NameChunks* names_;
    const detail::IdTable* table_;
    uint32_t size_;
};

// The writer's side, guarded by the interner's mutex.
class MutableInterner {
public:
    static constexpr size_t kInitialBuckets = 2048;

    MutableInterner();
    MutableInterner(const MutableInterner&) = delete;
    MutableInterner& operator=(const MutableInterner&) = delete;

    std::optional<uint32_t> find(std::string_view name, uint64_t hash) const noexcept;
    // Appends a name known to be absent and returns its id.
    uint32_t add(std::string_view name, uint64_t hash);
    // A snapshot of the names so far. It stays valid as long as this interner.
    const ImmutableInterner& freeze();
    size_t size() const noexcept { return size_; }

private:
    detail::NameChunks names_;
    // The table in use is the last; older ones stay for the snapshots that
    // were frozen while they were current.
    std::vector<std::unique_ptr<detail::IdTable>> tables_;
    std::vector<std::unique_ptr<ImmutableInterner>> snapshots_;
    uint32_t size_ = 0;
};

class StrInterner {
public:
    StrInterner();
    StrInterner(const StrInterner&) = delete;
    StrInterner& operator=(const StrInterner&) = delete;

    // The one interner of the process, created on first use and never destroyed.
    static StrInterner& global();

    // The id of `name`, adding the name if it is new.
    uint32_t intern(std::string_view name);

    // The current snapshot, without locking. The reference stays valid for the
    // life of this interner (the whole process for global()).
    const ImmutableInterner& snapshot() const noexcept {
        return *current_.load(std::memory_order_acquire);
    }

private:
    Mutex<MutableInterner> writer_;
    std::atomic<const ImmutableInterner*> current_;
};

}  // namespace vorlane

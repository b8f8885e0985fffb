#pragma once
// A hash map split into independently locked shards, so writers to different
// keys rarely wait for each other and no lock covers the whole map.
//
// Keys carry their own 64-bit hash (a value hashes once, when it is made); the
// `StoredHash` functor reads it. The shard is chosen by FxHash of that word; the
// shard's inner map hashes the same word again under a random per-shard key,
// so keys crafted to collide in the seedless shard choice still spread over
// the buckets.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <unordered_map>

#include "index/structures/errors.hpp"
#include "index/structures/fxhash.hpp"
#include "index/structures/heap_bytes.hpp"
#include "index/structures/locks.hpp"

namespace vorlane {

namespace detail {

struct HashKeys {
    uint64_t k0 = 0;
    uint64_t k1 = 1;
};

// Random keys drawn once per thread; successive maps of a thread get successive
// keys, which is as unpredictable from outside and costs no entropy per map.
inline HashKeys next_hash_keys() {
    thread_local HashKeys state = [] {
        std::random_device device;
        const auto word = [&] { return (uint64_t{device()} << 32) | device(); };
        return HashKeys{word(), word() | 1};
    }();
    state.k0 += 0x9e3779b97f4a7c15ULL;
    return {state.k0, fx_mix(state.k1 ^ state.k0) | 1};
}

template <class K, class StoredHash>
struct KeyedStoredHash {
    HashKeys keys{};
    [[no_unique_address]] StoredHash stored{};

    size_t operator()(const K& key) const noexcept {
        const uint64_t word = static_cast<uint64_t>(stored(key)) ^ keys.k0;
        const unsigned __int128 full = static_cast<unsigned __int128>(word) * keys.k1;
        return static_cast<size_t>(static_cast<uint64_t>(full) ^
                                   static_cast<uint64_t>(full >> 64));
    }
};

// `get` hands out copies; a value with a deep `clone` (a HybridSet) is cloned.
template <class V>
V copy_value(const V& value) {
    if constexpr (requires {
                      { value.clone() } -> std::same_as<V>;
                  }) {
        return value.clone();
    } else {
        return value;
    }
}

}  // namespace detail

template <class K, class V, class StoredHash, class KeyEq = std::equal_to<K>>
class ShardedHashMap {
public:
    using Hasher = detail::KeyedStoredHash<K, StoredHash>;
    using Map = std::unordered_map<K, V, Hasher, KeyEq>;
    using Shard = RwLock<Map>;
    using ReadGuard = typename Shard::ReadGuard;
    using WriteGuard = typename Shard::WriteGuard;
    static constexpr size_t kDefaultShardCount = 16;

    explicit ShardedHashMap(size_t shard_count = kDefaultShardCount)
        : shards_(std::make_unique<Shard[]>(shard_count)),
          len_(shard_count),
          mask_(shard_count - 1) {
        check(shard_count != 0 && (shard_count & mask_) == 0,
              "shard count must be a power of two");
        for (size_t i = 0; i < len_; ++i) {
            *shards_[i].write() = Map(0, Hasher{detail::next_hash_keys(), stored_hash_});
        }
    }
    static ShardedHashMap with_shard_count(size_t shard_count) {
        return ShardedHashMap(shard_count);
    }
    ShardedHashMap(ShardedHashMap&&) noexcept = default;
    ShardedHashMap& operator=(ShardedHashMap&&) noexcept = default;

    size_t shard_count() const noexcept { return len_; }
    size_t shard_index(const K& key) const noexcept {
        return static_cast<size_t>(fx_mix(static_cast<uint64_t>(stored_hash_(key))) & mask_);
    }

    // A copy of the value under `key`, taken under the shard's read lock only.
    std::optional<V> get(const K& key) const {
        const ReadGuard shard = read_shard(shard_index(key));
        const auto it = shard->find(key);
        if (it == shard->end()) return std::nullopt;
        return detail::copy_value(it->second);
    }

    // Write access to the key's shard; held until the guard goes.
    WriteGuard get_shard(const K& key) { return write_shard(shard_index(key)); }

    ReadGuard read_shard(size_t index) const { return shard_at(index).read(); }
    WriteGuard write_shard(size_t index) { return shard_at(index).write(); }

    // Whole-map passes: shards in index order, one lock held at a time, so each
    // shard is seen consistently but the map not as one snapshot.
    template <class Fn>
    void for_each_shard(Fn&& fn) const {
        for (size_t i = 0; i < len_; ++i) fn(*read_shard(i));
    }
    template <class Fn>
    void for_each_shard_mut(Fn&& fn) {
        for (size_t i = 0; i < len_; ++i) fn(*write_shard(i));
    }

    size_t size() const {
        size_t total = 0;
        for_each_shard([&](const Map& map) { total += map.size(); });
        return total;
    }

    // The shard array and each shard's table (see heap_bytes.hpp), plus
    // entry_bytes(key, value) for the heap each entry owns. Takes the shards'
    // read locks one at a time (a poisoned shard fails, so this may throw).
    template <class EntryBytes>
    size_t memory_bytes(EntryBytes&& entry_bytes) const {
        // new[] of a type with a destructor stores the element count before the array.
        size_t total = heap_chunk(len_ * sizeof(Shard) + sizeof(size_t));
        for_each_shard([&](const Map& map) {
            total += hash_table_bytes(map);
            for (const auto& [key, value] : map) total += entry_bytes(key, value);
        });
        return total;
    }

private:
    Shard& shard_at(size_t index) const {
        check(shards_ != nullptr && index < len_, "shard index out of range");
        return shards_[index];
    }

    std::unique_ptr<Shard[]> shards_;
    size_t len_;
    size_t mask_;
    [[no_unique_address]] StoredHash stored_hash_{};
};

}  // namespace vorlane

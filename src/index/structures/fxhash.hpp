#pragma once
// FxHash: the fast, seedless multiply-and-rotate hash used for value hashes,
// name hashes, shard choice and the small hash maps. Seedless on purpose: the
// same input hashes the same in every process.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorlane {

inline constexpr uint64_t kFxSeed = 0xf1357aea2e62a9c5ULL;
inline constexpr int kFxRotate = 26;


namespace detail {
inline uint64_t load_u64(const char* p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
inline uint64_t load_u32(const char* p) noexcept {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
inline uint64_t multiply_mix(uint64_t x, uint64_t y) noexcept {
    const unsigned __int128 full = static_cast<unsigned __int128>(x) * y;
    return static_cast<uint64_t>(full) ^ static_cast<uint64_t>(full >> 64);
}
}  // namespace detail

// One 64-bit digest of a byte string: two lanes of 8-byte words folded by a
// widening multiply, so long strings cost one step per 16 bytes.
inline uint64_t digest_bytes(std::string_view bytes) noexcept {
    constexpr uint64_t kSeed1 = 0x243f6a8885a308d3ULL;
    constexpr uint64_t kSeed2 = 0x13198a2e03707344ULL;
    constexpr uint64_t kNoZeroCollapse = 0xa4093822299f31d0ULL;
    const char* p = bytes.data();
    const size_t len = bytes.size();
    uint64_t s0 = kSeed1;
    uint64_t s1 = kSeed2;
    if (len <= 16) {
        if (len >= 8) {
            s0 ^= detail::load_u64(p);
            s1 ^= detail::load_u64(p + len - 8);
        } else if (len >= 4) {
            s0 ^= detail::load_u32(p);
            s1 ^= detail::load_u32(p + len - 4);
        } else if (len > 0) {
            const uint64_t lo = static_cast<uint8_t>(p[0]);
            const uint64_t mid = static_cast<uint8_t>(p[len / 2]);
            const uint64_t hi = static_cast<uint8_t>(p[len - 1]);
            s0 ^= lo;
            s1 ^= (hi << 8) | mid;
        }
    } else {
        size_t off = 0;
        while (off < len - 16) {
            const uint64_t x = detail::load_u64(p + off);
            const uint64_t y = detail::load_u64(p + off + 8);
            const uint64_t t = detail::multiply_mix(s0 ^ x, kNoZeroCollapse ^ y);
            s0 = s1;
            s1 = t;
            off += 16;
        }
        s0 ^= detail::load_u64(p + len - 16);
        s1 ^= detail::load_u64(p + len - 8);
    }
    return detail::multiply_mix(s0, s1) ^ len;
}

class FxHasher {
public:
    void write_u64(uint64_t word) noexcept { state_ = (state_ + word) * kFxSeed; }
    void write_u32(uint32_t word) noexcept { write_u64(word); }
    void write_u8(uint8_t word) noexcept { write_u64(word); }
    // A byte string enters as one digest word of its bytes.
    void write_bytes(std::string_view bytes) noexcept { write_u64(digest_bytes(bytes)); }
    // A string as a hash-map key: its bytes, then the terminator word 0xFF.
    void write_str(std::string_view text) noexcept {
        write_bytes(text);
        write_u8(0xFF);
    }
    uint64_t finish() const noexcept { return std::rotl(state_, kFxRotate); }

private:
    uint64_t state_ = 0;
};

// FxHash of one 64-bit word: shard choice and the hash of small integer keys.
constexpr uint64_t fx_mix(uint64_t word) noexcept { return std::rotl(word * kFxSeed, kFxRotate); }

}  // namespace vorlane

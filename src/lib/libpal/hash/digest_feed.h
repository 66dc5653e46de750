// Block buffering shared by the digests of this directory.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Feeds len bytes to a digest whose buffer of B bytes holds used bytes
// (below B): fills the buffer and compresses it when it gets full, runs
// blocks(data, n) directly on every whole block of the caller's data, and
// keeps the tail in the buffer. Only the head and the tail are copied.
template <size_t B, typename F>
inline void digest_feed(uint8_t (&buffer)[B], size_t used, const uint8_t* p, size_t len, F&& blocks) {
    if (len == 0) return;
    if (used) {
        size_t take = B - used;
        if (len < take) {
            memcpy(buffer + used, p, len);
            return;
        }
        memcpy(buffer + used, p, take);
        blocks(buffer, size_t{1});
        p += take;
        len -= take;
    }
    if (len >= B) {
        size_t n = len / B;
        blocks(p, n);
        p += n * B;
        len -= n * B;
    }
    if (len) memcpy(buffer, p, len);
}

inline uint32_t load_le32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline uint32_t load_be32(const uint8_t* p) { return __builtin_bswap32(load_le32(p)); }
inline uint64_t load_be64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
inline void store_le32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }
inline void store_be32(uint8_t* p, uint32_t v) { store_le32(p, __builtin_bswap32(v)); }
inline void store_be64(uint8_t* p, uint64_t v) {
    v = __builtin_bswap64(v);
    memcpy(p, &v, 8);
}

using std::rotl;
using std::rotr;

// Two 32-bit words holding a 64-bit count, low word first.
inline uint64_t count_get(const uint32_t c[2]) { return c[0] | (uint64_t{c[1]} << 32); }
inline void count_set(uint32_t c[2], uint64_t v) {
    c[0] = static_cast<uint32_t>(v);
    c[1] = static_cast<uint32_t>(v >> 32);
}

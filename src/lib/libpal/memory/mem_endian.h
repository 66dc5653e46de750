// Byte-order loads and stores at any offset of a buffer (no alignment
// needed).
//
// The swap flag says whether the data's byte order differs from the host's
// (on a little-endian host, set means big-endian data). The loads reverse
// the bytes when swap is not 0; the stores only when swap is exactly 1, so a
// swap of 2 reverses a load but not a store.
//
// The uint8_t* forms are constexpr; the void* forms take any buffer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace mem_endian_detail {

template <class T>
constexpr T bswap(T v) {
    if constexpr (sizeof(T) == 2) return __builtin_bswap16(v);
    else if constexpr (sizeof(T) == 4) return __builtin_bswap32(v);
    else return __builtin_bswap64(v);
}

// Loads a value whose bytes are in host order, or reversed.
template <class T>
constexpr T load(const uint8_t* p, bool reversed) {
    T v = 0;
    if (std::is_constant_evaluated()) {
        for (size_t i = 0; i < sizeof(T); i++) {
            size_t at = std::endian::native == std::endian::little ? i : sizeof(T) - 1 - i;
            v = static_cast<T>(v | static_cast<T>(static_cast<T>(p[at]) << (8 * i)));
        }
    } else {
        __builtin_memcpy(&v, p, sizeof v);
    }
    return reversed ? bswap(v) : v;
}

template <class T>
constexpr void store(uint8_t* p, T v, bool reversed) {
    if (reversed) v = bswap(v);
    if (std::is_constant_evaluated()) {
        for (size_t i = 0; i < sizeof(T); i++) {
            size_t at = std::endian::native == std::endian::little ? i : sizeof(T) - 1 - i;
            p[at] = static_cast<uint8_t>(v >> (8 * i));
        }
    } else {
        __builtin_memcpy(p, &v, sizeof v);
    }
}

}  // namespace mem_endian_detail

// The swap flag of data stored big-endian (big) or little-endian on this host.
constexpr int mem_swap_of(bool big) { return big != (std::endian::native == std::endian::big) ? 1 : 0; }
// The swap flag of little-endian data (formats and packets that fix that order).
inline constexpr int MEM_SWAP_LE = mem_swap_of(false);

constexpr uint16_t mem_get_u16(int swap, const uint8_t* buf, size_t offset) {
    return mem_endian_detail::load<uint16_t>(buf + offset, swap != 0);
}
constexpr uint32_t mem_get_u32(int swap, const uint8_t* buf, size_t offset) {
    return mem_endian_detail::load<uint32_t>(buf + offset, swap != 0);
}
constexpr uint64_t mem_get_u64(int swap, const uint8_t* buf, size_t offset) {
    return mem_endian_detail::load<uint64_t>(buf + offset, swap != 0);
}

// Returns the value stored.
constexpr uint16_t mem_set_u16(int swap, uint8_t* buf, size_t offset, uint16_t value) {
    mem_endian_detail::store<uint16_t>(buf + offset, value, swap == 1);
    return value;
}
constexpr void mem_set_u32(int swap, uint8_t* buf, size_t offset, uint32_t value) {
    mem_endian_detail::store<uint32_t>(buf + offset, value, swap == 1);
}
constexpr void mem_set_u64(int swap, uint8_t* buf, size_t offset, uint64_t value) {
    mem_endian_detail::store<uint64_t>(buf + offset, value, swap == 1);
}

inline uint16_t mem_get_u16(int swap, const void* buf, size_t offset) {
    return mem_get_u16(swap, static_cast<const uint8_t*>(buf), offset);
}
inline uint32_t mem_get_u32(int swap, const void* buf, size_t offset) {
    return mem_get_u32(swap, static_cast<const uint8_t*>(buf), offset);
}
inline uint64_t mem_get_u64(int swap, const void* buf, size_t offset) {
    return mem_get_u64(swap, static_cast<const uint8_t*>(buf), offset);
}
inline uint16_t mem_set_u16(int swap, void* buf, size_t offset, uint16_t value) {
    return mem_set_u16(swap, static_cast<uint8_t*>(buf), offset, value);
}
inline void mem_set_u32(int swap, void* buf, size_t offset, uint32_t value) {
    mem_set_u32(swap, static_cast<uint8_t*>(buf), offset, value);
}
inline void mem_set_u64(int swap, void* buf, size_t offset, uint64_t value) {
    mem_set_u64(swap, static_cast<uint8_t*>(buf), offset, value);
}

#include "libpal/string/mem_find.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_hex.h"

const void* mem_find(const void* block, size_t len, const void* pattern, size_t pattern_len) {
    if (!block || !pattern || pattern_len == 0 || pattern_len > len) return nullptr;
    const auto* b = static_cast<const uint8_t*>(block);
    const auto* p = static_cast<const uint8_t*>(pattern);
    // Shift by the byte just after the window: the distance from its last
    // place in the pattern to the pattern's end plus one (every shift is at
    // least 1, so the window always moves on).
    size_t shift[256];
    for (auto& s : shift) s = pattern_len + 1;
    for (size_t i = 0; i < pattern_len; ++i) shift[p[i]] = pattern_len - i;
    for (size_t pos = 0; pos + pattern_len <= len;) {
        if (memcmp(b + pos, p, pattern_len) == 0) return b + pos;
        if (pos + pattern_len >= len) break;  // no byte after the last window
        pos += shift[b[pos + pattern_len]];
    }
    return nullptr;
}

const void* mem_find_mask(const void* block, size_t len, const void* pattern, size_t pattern_len, const char* mask) {
    if (!mask) return mem_find(block, len, pattern, pattern_len);
    if (!block || !pattern || pattern_len == 0 || pattern_len > len) return nullptr;
    const auto* b = static_cast<const uint8_t*>(block);
    const auto* p = static_cast<const uint8_t*>(pattern);
    for (size_t pos = 0; pos + pattern_len <= len; ++pos) {
        size_t i = 0;
        while (i < pattern_len && (mask[i] == '?' || b[pos + i] == p[i])) ++i;
        if (i == pattern_len) return b + pos;
    }
    return nullptr;
}

const void* mem_find_hex(const void* block, size_t len, const char* pattern) {
    if (!block || !pattern) return nullptr;
    if (strchr(pattern, '?')) {
        uint8_t* bytes = nullptr;
        char* mask = nullptr;
        size_t n = 0;
        if (str_hex_mask_decode(pattern, &bytes, &n, &mask) < 0) return nullptr;
        std::unique_ptr<uint8_t, pl_mem_deleter> bytes_guard(bytes);
        std::unique_ptr<char, pl_mem_deleter> mask_guard(mask);
        return n ? mem_find_mask(block, len, bytes, n, mask) : nullptr;
    }
    size_t n = 0;
    std::unique_ptr<void, pl_mem_deleter> bytes(str_hex_decode_dup(pattern, &n));
    return bytes ? mem_find(block, len, bytes.get(), n) : nullptr;
}

const void* mem_find_str(const void* block, size_t len, const char* text) {
    if (!text) return nullptr;
    return mem_find(block, len, text, strlen(text));
}

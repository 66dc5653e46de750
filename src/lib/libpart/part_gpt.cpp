// GPT behind a protective MBR, little-endian.
#include <cstring>

#include "libpart/part_priv.h"
#include "libpal/string/str_utf.h"
#include "liblog/log2.h"

namespace {

constexpr int k_max_scale_shift = 6;
constexpr size_t k_entry_read = 128;  // the fields read of every entry
constexpr size_t k_name_off = 56;
constexpr size_t k_name_units = 36;
// Entry sizes and counts beyond these are damaged headers, not real tables.
constexpr uint32_t k_max_entry_size = 4096;
constexpr uint32_t k_max_entries = 16384;

bool is_zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

}  // namespace

int gpt_get_parts(part_ctx* ctx) {
    // The header at LBA 2^k: a table made for sectors 2^k times larger than the device's.
    uint64_t scale = 0;
    for (int k = 0; k <= k_max_scale_shift; ++k) {
        int r = part_read_sector(ctx, uint64_t{1} << k);
        if (r < 0) return r;
        if (r == 0) break;  // the device ends before it
        if (memcmp(ctx->buf, "EFI PART", 8) == 0) {
            scale = uint64_t{1} << k;
            break;
        }
    }
    if (scale == 0) return 0;
    uint64_t array_lba = part_le64(ctx->buf + 72);
    uint32_t count = part_le32(ctx->buf + 80);
    uint32_t esize = part_le32(ctx->buf + 84);
    if (esize < k_entry_read || esize % 8 != 0 || esize > k_max_entry_size) {
        LOG2(LOG2_WARN, "part", "gpt entry size=%u invalid\n", esize);
        return 0;
    }
    if (count > k_max_entries) {
        LOG2(LOG2_WARN, "part", "gpt entries=%u: only %u read\n", count, k_max_entries);
        count = k_max_entries;
    }
    uint64_t array_off;
    if (__builtin_mul_overflow(array_lba, scale * ctx->sector_size, &array_off)) {
        LOG2(LOG2_WARN, "part", "gpt entry lba=%llu out of range\n", static_cast<unsigned long long>(array_lba));
        return 0;
    }
    uint8_t e[k_entry_read];
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t off;
        if (__builtin_add_overflow(array_off, static_cast<uint64_t>(i) * esize, &off)) break;
        int r = part_read_bytes(ctx, off, e, sizeof e);
        if (r < 0) return r;
        if (r == 0) break;  // the array runs past the device
        if (is_zero(e, 16)) continue;
        uint64_t first = part_le64(e + 32);
        uint64_t last = part_le64(e + 40);
        uint64_t start, size = 0;
        // Reversed bounds make an empty volume, never one that wraps around.
        if (__builtin_mul_overflow(first, scale, &start) ||
            (last >= first && (last - first == UINT64_MAX || __builtin_mul_overflow(last - first + 1, scale, &size)))) {
            LOG2(LOG2_WARN, "part", "gpt entry %u lba %llu-%llu out of range\n", i,
                 static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
            continue;
        }
        char name[256];
        str_utf16_to_utf8_n(e + k_name_off, k_name_units, name, sizeof name);
        part_add_vol(ctx, PART_SCHEME_GPT, start, size, name);
    }
    return 0;
}

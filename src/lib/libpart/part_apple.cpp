// Apple partition map: a driver descriptor and 512-byte map entries, big-endian.
#include <cstring>

#include "libpart/part_priv.h"
#include "liblog/log2.h"

namespace {

constexpr uint16_t k_ddr_magic = 0x4552;  // "ER"
constexpr uint16_t k_pm_magic = 0x504D;   // "PM"
constexpr size_t k_entry = 512;
constexpr size_t k_name_off = 16;
constexpr size_t k_name_len = 32;
// More entries than any real map holds: a damaged count is not followed further.
constexpr uint32_t k_max_entries = 4096;

}  // namespace

int apple_get_parts(part_ctx* ctx) {
    uint8_t h[4];
    int r = part_read_bytes(ctx, 0, h, sizeof h);
    if (r <= 0) return r;
    if (part_be16(h) != k_ddr_magic) {
        LOG2(LOG2_DBG, "part", "bad magic (found 0x%x; wanted 0x%x)\n", part_be16(h), k_ddr_magic);
        return 0;
    }
    uint64_t block = part_be16(h + 2);
    LOG2(LOG2_DBG, "part", "size(grub_apple_part)=%d\n", static_cast<int>(k_entry));
    uint32_t entries = 1;
    uint8_t e[k_entry];
    for (uint32_t i = 0; i < entries; ++i) {
        r = part_read_bytes(ctx, (static_cast<uint64_t>(i) + 1) * block, e, sizeof e);
        if (r < 0) return r;
        if (r == 0) break;
        if (part_be16(e) != k_pm_magic) {
            LOG2(LOG2_DBG, "part", "partition %d: bad magic (found 0x%x; wanted 0x%x)\n", static_cast<int>(i),
                 part_be16(e), k_pm_magic);
            break;
        }
        if (i == 0) {
            entries = part_be32(e + 4);
            if (entries > k_max_entries) {
                LOG2(LOG2_WARN, "part", "map entries=%u: only %u read\n", entries, k_max_entries);
                entries = k_max_entries;
            }
        }
        // The name field need not end with a NUL.
        char name[k_name_len + 1] = {};
        memcpy(name, e + k_name_off, k_name_len);
        uint64_t start = part_be32(e + 8) * block / ctx->sector_size;
        uint64_t size = part_be32(e + 12) * block / ctx->sector_size;
        part_add_vol(ctx, PART_SCHEME_APPLE, start, size, name);
    }
    return 0;
}

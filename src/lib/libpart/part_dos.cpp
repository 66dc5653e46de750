// MBR and the walk of extended partitions, little-endian.
#include <cstring>

#include "libpart/part_priv.h"
#include "liblog/log2.h"

namespace {

constexpr size_t k_entries_off = 446;
constexpr int k_entries = 4;

struct dos_entry {
    uint8_t boot;
    uint8_t type;
    uint32_t start;
    uint32_t count;
};

bool has_signature(const uint8_t* s) { return s[510] == 0x55 && s[511] == 0xAA; }

void entries_of(const uint8_t* s, dos_entry (&out)[k_entries]) {
    for (int i = 0; i < k_entries; ++i) {
        const uint8_t* p = s + k_entries_off + 16 * i;
        out[i] = {p[0], p[4], part_le32(p + 8), part_le32(p + 12)};
    }
}

bool is_extended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

}  // namespace

int dos_get_parts(part_ctx* ctx) {
    LOG2(LOG2_DBG, "part", "==>\n");
    int r = part_read_sector(ctx, 0);
    if (r <= 0) {
        LOG2(LOG2_DBG, "part", "read_len %d!=%d error\n", static_cast<int>(ctx->last_len),
             static_cast<int>(ctx->sector_size));
        if (r == 0)
            BD_SET_ERR(ctx->dev, VERR_READ_ERROR, "read_len %d!=%d error", static_cast<int>(ctx->last_len),
                       static_cast<int>(ctx->sector_size));
        return -2;
    }
    if (!has_signature(ctx->buf)) {
        LOG2(LOG2_DBG, "part", "invalid magaic\n");
        return 0;
    }
    dos_entry e[k_entries];
    entries_of(ctx->buf, e);
    for (const dos_entry& x : e)
        if (x.type == 0xEE) return gpt_get_parts(ctx);
    for (const dos_entry& x : e)
        if (x.boot & 0x7F) return 0;
    for (const dos_entry& x : e) {
        if (x.start != 0) {
            ctx->tables = 0;
            ctx->last_ext = UINT64_MAX;
            return get_extended_parts(ctx, 0, 0);
        }
    }
    return 0;
}

int get_extended_parts(part_ctx* ctx, uint64_t sector, uint64_t base) {
    LOG2(LOG2_DBG, "part", "start=%llu relative=%llu ==>\n", static_cast<unsigned long long>(sector),
         static_cast<unsigned long long>(base));
    if (ctx->tables >= PART_MAX_TABLES) {
        LOG2(LOG2_WARN, "part", "too much nesting exit\n");
        return 0;
    }
    // Any table read before in this walk, not only the last one, closes a loop.
    bool seen = sector == ctx->last_ext;
    for (uint32_t i = 0; i < ctx->tables && !seen; ++i) seen = ctx->seen[i] == sector;
    if (seen) {
        LOG2(LOG2_WARN, "part", "enter circular read exit\n");
        return 0;
    }
    ctx->seen[ctx->tables++] = sector;
    ctx->last_ext = sector;

    int r = part_read_sector(ctx, sector);
    if (r < 0) return -2;
    if (r == 0) {
        // A table behind the end of the device: the walk ends with what it found.
        LOG2(LOG2_ERR, "part", "read len %d!=%d error\n", static_cast<int>(ctx->last_len),
             static_cast<int>(ctx->sector_size));
        return -1;
    }
    if (!has_signature(ctx->buf)) {
        LOG2(LOG2_DBG, "part", "sector=%lld sec_size=%d size=%lld invalid magaic\n", static_cast<long long>(sector),
             static_cast<int>(ctx->sector_size), static_cast<long long>(ctx->image_size));
        return -1;
    }
    dos_entry e[k_entries];
    entries_of(ctx->buf, e);  // the walk below reuses the buffer
    for (const dos_entry& x : e) {
        LOG2(LOG2_VERB, "part", "sys_ind=%02x\n", x.type);
        if (x.type == 0x00 || x.type == 0x05 || x.type == 0x0F || x.type == 0x85) continue;
        uint64_t start = x.start + sector;
        part_add_vol(ctx, PART_SCHEME_MBR, start, x.count, part_type_name(x.type));
        LOG2(LOG2_VERB, "part", "find vol_start=%llu\n", static_cast<unsigned long long>(start));
    }
    for (const dos_entry& x : e) {
        if (!is_extended(x.type)) continue;
        LOG2(LOG2_VERB, "part", "extended sys_ind=%02x call\n", x.type);
        r = get_extended_parts(ctx, base + x.start, sector == 0 ? x.start : base);
        if (r != 0) return r;
    }
    LOG2(LOG2_DBG, "part", "<==\n");
    return 0;
}

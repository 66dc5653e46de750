// Amiga Rigid Disk Block: big-endian blocks, a list of partition blocks.
#include <cstring>

#include "libpart/part_priv.h"
#include "liblog/log2.h"

namespace {

constexpr size_t k_block = 512;
constexpr int k_rdsk_probes = 15;
constexpr uint32_t k_end = 0xFFFFFFFF;

// The sum of the first n words is 0, n being the word at 4 when below 128, else 128.
bool checksum_ok(const uint8_t* b) {
    uint32_t n = part_be32(b + 4);
    if (n >= 128) n = 128;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) sum += part_be32(b + 4 * i);
    return sum == 0;
}

bool block_is(const uint8_t* b, const char* id) { return memcmp(b, id, 4) == 0 && checksum_ok(b); }

}  // namespace

int amiga_get_parts(part_ctx* ctx) {
    LOG2(LOG2_DBG, "part", "sizeof(rdsk)=%d, sizeof(apart)=%d\n", 512, 512);
    uint8_t b[k_block];
    bool found = false;
    for (int s = 0; s < k_rdsk_probes && !found; ++s) {
        int r = part_read_bytes(ctx, static_cast<uint64_t>(s) * ctx->sector_size, b, sizeof b);
        if (r < 0) return r;
        if (r == 0) break;  // a small device: no block there
        found = block_is(b, "RDSK");
    }
    if (!found) return 0;

    // The list is bounded: a block seen before or too many blocks end the walk.
    uint32_t seen[PART_MAX_TABLES];
    uint32_t nseen = 0;
    for (uint32_t next = part_be32(b + 28); next != k_end;) {
        for (uint32_t i = 0; i < nseen; ++i) {
            if (seen[i] == next) {
                LOG2(LOG2_WARN, "part", "block=%u enter circular read exit\n", next);
                return 0;
            }
        }
        if (nseen == PART_MAX_TABLES) {
            LOG2(LOG2_WARN, "part", "too much nesting exit\n");
            return 0;
        }
        seen[nseen++] = next;
        int r = part_read_bytes(ctx, static_cast<uint64_t>(next) * ctx->sector_size, b, sizeof b);
        if (r < 0) return r;
        if (r == 0 || !block_is(b, "PART")) break;
        uint64_t per_cyl = static_cast<uint64_t>(part_be32(b + 140)) * part_be32(b + 148);
        uint32_t low = part_be32(b + 164);
        uint32_t high = part_be32(b + 168);
        uint64_t start, size = 0;
        // Reversed cylinders make an empty volume, never one that wraps around.
        bool bad = __builtin_mul_overflow(static_cast<uint64_t>(low), per_cyl, &start) ||
                   (high >= low && __builtin_mul_overflow(static_cast<uint64_t>(high) - low + 1, per_cyl, &size));
        if (bad)
            LOG2(LOG2_WARN, "part", "block=%u cylinders %u-%u out of range\n", next, low, high);
        else
            part_add_vol(ctx, PART_SCHEME_AMIGA, start, size, nullptr);
        next = part_be32(b + 16);
    }
    return 0;
}

// SGI disk volume header: sector 0, big-endian.
#include "libpart/part_priv.h"

namespace {

constexpr uint32_t k_dvh_magic = 0x0BE5A941;
constexpr size_t k_table_off = 312;
constexpr int k_entries = 16;
constexpr int k_whole_volume = 10;

}  // namespace

int dvh_get_parts(part_ctx* ctx) {
    uint8_t s[512];
    int r = part_read_bytes(ctx, 0, s, sizeof s);
    if (r <= 0) return r;
    if (part_be32(s) != k_dvh_magic) return 0;
    uint32_t sum = 0;
    for (size_t i = 0; i < sizeof s; i += 4) sum += part_be32(s + i);
    if (sum != 0) return 0;
    for (int e = 0; e < k_entries; ++e) {
        if (e == k_whole_volume) continue;
        const uint8_t* p = s + k_table_off + 12 * e;
        uint32_t blocks = part_be32(p);
        if (blocks != 0) part_add_vol(ctx, PART_SCHEME_DVH, part_be32(p + 4), blocks, nullptr);
    }
    return 0;
}

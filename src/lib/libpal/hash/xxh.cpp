#include "libpal/hash/xxh.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#include <xxh_x86dispatch.h>

#include <cstddef>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/string/str_hex.h"

static_assert(sizeof(XXH3_state_t) == PL_XXH3_STATE_SIZE, "xxHash state record of another layout");

namespace {

constexpr size_t STRIPE_LEN = 64;
constexpr size_t DEFAULT_SECRET_SIZE = 192;
constexpr size_t INTERNAL_BUFFER_SIZE = sizeof(XXH3_state_t::buffer);
constexpr size_t SECRET_LIMIT = DEFAULT_SECRET_SIZE - STRIPE_LEN;
constexpr size_t STRIPES_PER_BLOCK = SECRET_LIMIT / 8;

// Whether a decoded record can be a state of an unseeded hash with the
// default secret, in every field the library reads without checking.
bool state_plausible(const XXH3_state_t& s) {
    if (s.useSeed != 0 || s.seed != 0) return false;
    if (s.secretLimit != SECRET_LIMIT || s.nbStripesPerBlock != STRIPES_PER_BLOCK) return false;
    if (s.bufferedSize > INTERNAL_BUFFER_SIZE || s.nbStripesSoFar >= STRIPES_PER_BLOCK) return false;
    // Up to the buffer's size everything waits in the buffer; beyond it
    // the buffer always keeps at least one byte.
    if (s.totalLen <= INTERNAL_BUFFER_SIZE) return s.bufferedSize == s.totalLen && s.nbStripesSoFar == 0;
    return s.bufferedSize > 0;
}

}  // namespace

XXH3_state_s* pl_xxh3_128_new() {
    XXH3_state_t* s = XXH3_createState();
    if (!s) return nullptr;
    memset(static_cast<void*>(s), 0, sizeof *s);
    XXH3_128bits_reset(s);
    return s;
}

void pl_xxh3_128_reset(XXH3_state_s* state) {
    memset(static_cast<void*>(state), 0, sizeof *state);
    XXH3_128bits_reset(state);
}

void pl_xxh3_128_free(XXH3_state_s* state) {
    if (state) XXH3_freeState(state);
}

void pl_xxh3_128_update(XXH3_state_s* state, const void* data, size_t len) {
    if (len == 0) return;
    XXH3_128bits_update_dispatch(state, data, len);
}

void pl_xxh3_128_final(XXH3_state_s* state, uint8_t* out) {
    XXH128_canonical_t c;
    XXH128_canonicalFromHash(&c, XXH3_128bits_digest(state));
    memcpy(out, c.digest, sizeof c.digest);
}

int pl_xxh3_128_get_ctx(const XXH3_state_s* state, char* text, size_t size) {
    if (!state || !text || str_bin_encode_hex(state, PL_XXH3_STATE_SIZE, text, size) < 0) {
        LOG2(LOG2_ERR, "pal", "str_bin_encode_hex failed\n");
        return -1;
    }
    return 0;
}

int pl_xxh3_128_set_ctx(XXH3_state_s* state, const char* text) {
    // Decoded into a scratch record: a bad text leaves the state as it was.
    alignas(64) XXH3_state_t tmp{};
    bool ok = state && text && strnlen(text, PL_XXH3_TEXT_SIZE) == PL_XXH3_TEXT_SIZE - 1 &&
              str_hex_decode_bin(text, 0, &tmp, sizeof tmp) == static_cast<int64_t>(sizeof tmp);
    if (!ok || !state_plausible(tmp)) {
        LOG2(LOG2_ERR, "pal", "str_hex_decode_bin failed\n");
        return -1;
    }
    // The secret pointer of the text belongs to the process that wrote it.
    alignas(64) XXH3_state_t fresh{};
    XXH3_128bits_reset(&fresh);
    tmp.extSecret = fresh.extSecret;
    memcpy(static_cast<void*>(state), &tmp, sizeof tmp);
    return 0;
}

void pl_xxh3_128_buf(const void* data, size_t len, uint8_t* out) {
    XXH128_canonical_t c;
    XXH128_canonicalFromHash(&c, XXH3_128bits_dispatch(data, len));
    memcpy(out, c.digest, sizeof c.digest);
}

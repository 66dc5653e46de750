#include "libcrypt/libcrypt.h"

#include <strings.h>

#include <cstring>

#include "libcrypt/aes.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/hash/crc.h"
#include "libpal/memory/pl_mem.h"

namespace {

constexpr const char* TAG = "tag";

// AES contexts hold the encryption schedule, then the decryption schedule.
constexpr uint32_t k_aes_ctx_size = 2 * sizeof(aes_schedule);

constexpr cipher_type k_ciphers[] = {
    {CIPHER_AES_ECB_256, "AES_ECB_256", 16, 32, k_aes_ctx_size},
    {CIPHER_AES_ECB_128, "AES_ECB_128", 16, 16, k_aes_ctx_size},
    {CIPHER_RC4, "RC4", 0, 16, sizeof(rc4_ctx)},
    {0, nullptr, 0, 0, 0},
};

aes_schedule* enc_schedule(cipher_ctx* ctx) { return static_cast<aes_schedule*>(ctx->ks); }
aes_schedule* dec_schedule(cipher_ctx* ctx) { return static_cast<aes_schedule*>(ctx->ks) + 1; }

bool usable(const cipher_ctx* ctx) { return ctx && ctx->ks && ctx->type; }

// ECB over the whole blocks; the tail is copied as it is.
template <class Block>
int32_t aes_ecb(const aes_schedule* ks, const void* in, void* out, uint64_t length, Block block) {
    const auto* src = static_cast<const uint8_t*>(in);
    auto* dst = static_cast<uint8_t*>(out);
    const uint64_t whole = length / 16 * 16;
    for (uint64_t off = 0; off < whole; off += 16)
        if (block(src + off, dst + off, ks) != 0) return -1;
    if (length > whole && src != dst) std::memmove(dst + whole, src + whole, length - whole);
    return 0;
}

int32_t run(cipher_ctx* ctx, const void* in, void* out, uint64_t length, bool encrypt) {
    if (!usable(ctx)) return -1;
    if (length == 0) return 0;
    if (!in || !out) return -1;
    switch (ctx->id) {
        case CIPHER_AES_ECB_256:
        case CIPHER_AES_ECB_128:
            return encrypt ? aes_ecb(enc_schedule(ctx), in, out, length, aes_encrypt_block)
                           : aes_ecb(dec_schedule(ctx), in, out, length, aes_decrypt_block);
        case CIPHER_RC4:
            rc4_crypt(static_cast<rc4_ctx*>(ctx->ks), in, out, length);
            return 0;
        default:
            return -1;
    }
}

}  // namespace

int32_t cipher_lib_init() { return 0; }

const cipher_type* cipher_find_by_id(uint32_t id) {
    for (const cipher_type* t = k_ciphers; t->id; t++)
        if (t->id == id) return t;
    return nullptr;
}

const char* cipher_name(uint32_t id) {
    const cipher_type* t = cipher_find_by_id(id);
    return t ? t->name : "";
}

uint32_t cipher_block_size(uint32_t id) {
    const cipher_type* t = cipher_find_by_id(id);
    return t ? t->block_size : 0;
}

cipher_ctx* cipher_init(uint32_t id) {
    const cipher_type* type = cipher_find_by_id(id);
    if (!type) return nullptr;
    auto* ctx = static_cast<cipher_ctx*>(pl_zalloc(sizeof(cipher_ctx)));
    if (!ctx) return nullptr;
    ctx->id = id;
    ctx->type = type;
    if (!PL_CHECK_TEXT(TAG, ctx->type->ctx_size != 0, "ctx->type->ctx_size!=0")) {
        pl_free(ctx);
        return nullptr;
    }
    ctx->ks = pl_aligned_alloc(type->ctx_size, 8);
    if (!PL_CHECK_TEXT(TAG, ctx->ks != nullptr, "ctx->ks!=NULL")) {
        pl_free(ctx);
        return nullptr;
    }
    std::memset(ctx->ks, 0, type->ctx_size);
    return ctx;
}

cipher_ctx* cipher_block_init2(const char* name) {
    if (!name) return nullptr;
    for (const cipher_type* t = k_ciphers; t->id; t++)
        if (strcasecmp(t->name, name) == 0) return cipher_init(t->id);
    return nullptr;
}

void cipher_free(cipher_ctx* ctx) {
    if (!ctx) return;
    if (ctx->ks) {
        explicit_bzero(ctx->ks, ctx->type ? ctx->type->ctx_size : 0);
        pl_aligned_free(ctx->ks);
    }
    pl_free(ctx);
}

int32_t cipher_setkey_enc(cipher_ctx* ctx, const uint8_t* key) {
    if (!usable(ctx) || !key) return -1;
    switch (ctx->id) {
        case CIPHER_AES_ECB_256: return aes_setkey_enc_256(key, enc_schedule(ctx));
        case CIPHER_AES_ECB_128: return aes_setkey_enc_128(key, enc_schedule(ctx));
        case CIPHER_RC4: return rc4_init(static_cast<rc4_ctx*>(ctx->ks), key, ctx->type->key_len);
        default: return -1;
    }
}

int32_t cipher_setkey_dec(cipher_ctx* ctx, const uint8_t* key) {
    if (!usable(ctx) || !key) return -1;
    switch (ctx->id) {
        case CIPHER_AES_ECB_256: return aes_setkey_dec_256(key, dec_schedule(ctx));
        case CIPHER_AES_ECB_128: return aes_setkey_dec_128(key, dec_schedule(ctx));
        case CIPHER_RC4: return rc4_init(static_cast<rc4_ctx*>(ctx->ks), key, ctx->type->key_len);
        default: return -1;
    }
}

int32_t cipher_encrypt(cipher_ctx* ctx, const void* in, void* out, uint64_t length) {
    return run(ctx, in, out, length, true);
}

int32_t cipher_decrypt(cipher_ctx* ctx, const void* in, void* out, uint64_t length) {
    return run(ctx, in, out, length, false);
}

#include "libdd/dd_crypt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libcrypt/libcrypt.h"
#include "liblog/log2.h"
#include "libpal/env/pl_env.h"
#include "libpal/memory/random.h"

namespace {

constexpr const char* TAG = "dd_a";
constexpr size_t k_name_size = 256;

// Clears the key text when the set-up returns, whichever way.
struct key_buffer {
    char text[DD_CRYPT_KEY_SIZE] = {};
    ~key_buffer() { explicit_bzero(text, sizeof text); }
};

}  // namespace

int32_t dd_crypt_init(dd_crypt* c) {
    c->cipher = nullptr;
    c->enc = 1;
    const char* env_name = os_getenv("KX_CRYPT_NAME");
    if (!env_name) return 0;

    // A crit message ends the process; should a logger hook keep it alive,
    // the run goes on without a cipher and the caller sees -1.
    // No row's name comes near the buffer: a longer one is simply unknown.
    char name[k_name_size] = {};
    size_t name_len = strlen(env_name);
    if (name_len >= sizeof name) {
        LOG2(LOG2_CRIT, TAG, "cipher_block_init2 [%s] error", env_name);
        return -1;
    }
    std::memcpy(name, env_name, name_len);
    fprintf(stderr, "KX_CRYPT_NAME=%s\n", name);

    key_buffer key;
    if (const char* env_key = os_getenv("KX_CRYPT_KEY")) {
        // Cutting or emptying a key that does not fit would encipher with a
        // key the user never gave.
        size_t len = strlen(env_key);
        if (len >= sizeof key.text) {
            LOG2(LOG2_CRIT, TAG, "KX_CRYPT_KEY length=%zu error: at most %u characters", len, DD_CRYPT_KEY_SIZE - 1);
            return -1;
        }
        std::memcpy(key.text, env_key, len);
        fprintf(stderr, "KX_CRYPT_KEY=%s\n", key.text);
    } else if (memory_random_alnum_strong(key.text, sizeof key.text) != 0) {
        LOG2(LOG2_CRIT, TAG, "random key error");
        return -1;
    }

    if (const char* env_enc = os_getenv("KX_CRYPT_ENC")) {
        c->enc = static_cast<int32_t>(strtol(env_enc, nullptr, 10));
        fprintf(stderr, "KX_CRYPT_ENC=%d\n", c->enc);
    }

    cipher_ctx* cipher = cipher_block_init2(name);
    if (!cipher) {
        LOG2(LOG2_CRIT, TAG, "cipher_block_init2 [%s] error", name);
        return -1;
    }
    const auto* k = reinterpret_cast<const uint8_t*>(key.text);
    const char* failed = cipher_setkey_enc(cipher, k) < 0   ? "cipher_setkey_enc failed"
                         : cipher_setkey_dec(cipher, k) < 0 ? "cipher_setkey_dec failed"
                                                            : nullptr;
    if (failed) {
        LOG2(LOG2_CRIT, TAG, "%s", failed);
        cipher_free(cipher);
        return -1;
    }
    c->cipher = cipher;
    return 0;
}

int32_t dd_crypt_block(dd_crypt* c, void* buf, uint64_t length) {
    if (!c || !c->cipher) return 0;
    int32_t r = c->enc ? cipher_encrypt(c->cipher, buf, buf, length) : cipher_decrypt(c->cipher, buf, buf, length);
    return r < 0 ? -1 : 0;
}

void dd_crypt_free(dd_crypt* c) {
    if (!c) return;
    cipher_free(c->cipher);
    c->cipher = nullptr;
}

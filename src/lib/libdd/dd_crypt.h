// The copy's block cipher: chosen by the environment (KX_CRYPT_NAME,
// KX_CRYPT_KEY, KX_CRYPT_ENC) once per run, applied in place to every block
// the copy reads, before the block is written.
#pragma once

#include <cstdint>

struct cipher_ctx;

// The run's cipher. Without a cipher, blocks pass unchanged.
struct dd_crypt {
    cipher_ctx* cipher;  // none when KX_CRYPT_NAME is not set
    int32_t enc;         // non-zero enciphers, 0 deciphers
};

// Key buffer: the key text and its terminator; bytes past the text are zero.
inline constexpr uint32_t DD_CRYPT_KEY_SIZE = 4096;

// Sets up the cipher from the environment; 0. Prints "KX_CRYPT_NAME=%s",
// "KX_CRYPT_KEY=%s" (only a key the user gave) and "KX_CRYPT_ENC=%d" on
// standard error. Without KX_CRYPT_KEY the key is a random text of letters
// and digits from the operating system's random source, never shown. An
// unknown cipher name, a key text that does not fit the key buffer, a
// failing random source or a failing key set-up ends the process (crit log,
// status 1).
int32_t dd_crypt_init(dd_crypt* c);

// Enciphers or deciphers length bytes of buf in place; 0 (also without a
// cipher), -1 when the cipher refuses.
int32_t dd_crypt_block(dd_crypt* c, void* buf, uint64_t length);

// Frees the cipher; the record is left without one.
void dd_crypt_free(dd_crypt* c);

// The cipher table: contexts made by name or id, keys set, data enciphered
// and deciphered. Rows: 1 "AES_ECB_256", 2 "AES_ECB_128" (16-byte blocks,
// no chaining) and 3 "RC4" (a stream).
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    CIPHER_AES_ECB_256 = 1,
    CIPHER_AES_ECB_128 = 2,
    CIPHER_RC4 = 3,
};

// One row of the cipher table; the table ends with a row of id 0.
struct cipher_type {
    uint32_t id;
    const char* name;
    uint32_t block_size;  // 0 for a stream cipher
    uint32_t key_len;     // key bytes taken by the key set-up
    uint32_t ctx_size;    // bytes of key-schedule storage
};

// A cipher instance. For AES, ks holds the encryption schedule followed by
// the decryption schedule; for RC4 the RC4 state.
struct cipher_ctx {
    uint32_t id;
    void* ks;  // ctx_size bytes, 8-byte aligned
    const cipher_type* type;
};

// Nothing to set up; 0.
int32_t cipher_lib_init();

// The row of an id, or none.
const cipher_type* cipher_find_by_id(uint32_t id);
// The row's name, or an empty text.
const char* cipher_name(uint32_t id);
// The row's block size, or 0.
uint32_t cipher_block_size(uint32_t id);

// A new context for an id of the table, or none.
cipher_ctx* cipher_init(uint32_t id);
// A new context for the row whose name equals name ignoring case, or none.
cipher_ctx* cipher_block_init2(const char* name);
// Frees the schedule storage and the context; none is ignored.
void cipher_free(cipher_ctx* ctx);

// Key set-up from the first key_len bytes of key (the row's length): the
// AES encryption schedule, or the RC4 key schedule. 0, or -1.
int32_t cipher_setkey_enc(cipher_ctx* ctx, const uint8_t* key);
// The AES decryption schedule, or the RC4 key schedule again. 0, or -1.
int32_t cipher_setkey_dec(cipher_ctx* ctx, const uint8_t* key);

// RC4: the keystream XOR over all length bytes, the permutation carried from
// call to call. AES: length / 16 whole blocks, each on its own (ECB); the
// last length % 16 bytes are copied unchanged (in the clear). in and out
// may be the same buffer. 0, or -1 on bad arguments or an unset AES key.
int32_t cipher_encrypt(cipher_ctx* ctx, const void* in, void* out, uint64_t length);
int32_t cipher_decrypt(cipher_ctx* ctx, const void* in, void* out, uint64_t length);

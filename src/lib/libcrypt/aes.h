// AES (FIPS-197) in the table-driven form: four combined round tables and
// the S-box for each direction, Rcon for the key expansion. Decryption uses
// the equivalent inverse cipher, whose schedule is made from the encryption
// schedule.
#pragma once

#include <cstddef>
#include <cstdint>

// One key schedule: the round-key words (44, 52 or 60 used), then a word
// whose low byte is 16 x the number of rounds: 160 (AES-128), 192 (AES-192)
// or 224 (AES-256). Any other value marks the schedule as unset.
struct aes_schedule {
    uint32_t rk[60];
    uint32_t rounds16;
};
static_assert(sizeof(aes_schedule) == 61 * 4);

// Key expansions from 16, 24 or 32 key bytes; 0. The temporary copies of key
// words are cleared before they return.
int32_t aes_setkey_enc_128(const uint8_t* key, aes_schedule* ks);
int32_t aes_setkey_enc_192(const uint8_t* key, aes_schedule* ks);
int32_t aes_setkey_enc_256(const uint8_t* key, aes_schedule* ks);
int32_t aes_setkey_dec_128(const uint8_t* key, aes_schedule* ks);
int32_t aes_setkey_dec_192(const uint8_t* key, aes_schedule* ks);
int32_t aes_setkey_dec_256(const uint8_t* key, aes_schedule* ks);

// The expansion for a key length in bytes or bits (16 or 128, 24 or 192,
// 32 or 256); 1 for any other length.
int32_t aes_setkey_enc(const uint8_t* key, uint32_t key_len, aes_schedule* ks);
int32_t aes_setkey_dec(const uint8_t* key, uint32_t key_len, aes_schedule* ks);

// One 16-byte block; in and out may be the same. 0, or 1 with out untouched
// when the schedule's round byte is not 160, 192 or 224.
int32_t aes_encrypt_block(const uint8_t* in, uint8_t* out, const aes_schedule* ks);
int32_t aes_decrypt_block(const uint8_t* in, uint8_t* out, const aes_schedule* ks);

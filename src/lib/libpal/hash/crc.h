// Table-driven checksums and the RC4 stream cipher. Every checksum starts
// from the value the caller gives and returns the register after the last
// byte.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-8 of polynomial 0x07, most significant bit first, no reflection, no
// final XOR (CRC-8/SMBUS from 0; "123456789" gives 0xF4). The low 8 bits of
// the result are used. Without data: an assertion message and 0.
uint32_t hash_crc8(const void* data, int64_t length, int32_t init);

// CRC-16 of polynomial 0x8005, most significant bit first, no final XOR,
// with the register held with its two bytes exchanged: the result equals the
// plain CRC-16/0x8005 of the byte-exchanged initial value, bytes exchanged
// (the nine digits "123456789" from 0 give 0xE8FE). 16 bits are used.
int32_t hash_crc16(const void* data, size_t length, uint32_t init);

// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, inverted on entry
// and on exit). Passing a previous result continues it; 0 starts afresh
// ("123456789" gives 0xCBF43926).
uint32_t hash_crc32(const void* data, size_t length, uint32_t crc);

// CRC-64 of Jones's polynomial, reflected (table polynomial
// 0x95AC9329AC4BC9B5), no inversion on entry or exit ("123456789" from 0
// gives 0xE9C6D914C4B8D9CA).
uint64_t hash_crc64(const void* data, size_t length, uint64_t init);

// RC4 state: the permutation only. The keystream indices restart at 0 on
// every rc4_crypt call (see there).
struct rc4_ctx {
    uint8_t permutation[256];
};

// The standard RC4 key schedule. A missing context or key, or an empty key,
// is refused with an assertion message and -1, the context left as it was;
// otherwise 0.
int32_t rc4_init(rc4_ctx* ctx, const uint8_t* key, uint64_t key_len);

// output[k] = input[k] XOR the next keystream byte; input and output may be
// the same buffer. Each call starts the indices i and j at 0 and keeps the
// permutation the previous call left: the first call after rc4_init gives
// the standard RC4 keystream, later calls do not continue it. Data stored
// block by block relies on exactly this sequence.
void rc4_crypt(rc4_ctx* ctx, const void* input, void* output, uint64_t length);

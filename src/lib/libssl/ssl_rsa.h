// RSA PKCS#1 v1.5 block helpers over an mbedTLS RSA key of k bytes.
//
// Encryption blocks (type 2: 0x00 0x02, non-zero random bytes, 0x00, data)
// go through the public key; signature blocks (type 1: 0x00 0x01, 0xFF
// bytes, 0x00, data) through the private key. Data may take at most k - 11
// bytes. Each decrypt accepts only the block type of its counterpart.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/rsa.h>

// Random source of the helpers, of the library's shape: fills the buffer
// from the operating system's generator. 0, or
// MBEDTLS_ERR_RSA_RNG_FAILED when the generator fails.
int rsa_rand_cb(void* ctx, unsigned char* buf, size_t len);

// Pad and run the key operation: k (the bytes written to out), or -1 when
// the data is too long for the key or out is smaller than k.
int rsa_pkcs1_public_encrypt(mbedtls_rsa_context* rsa, const void* in, size_t n, void* out, size_t out_size);
int rsa_pkcs1_private_encrypt(mbedtls_rsa_context* rsa, const void* in, size_t n, void* out, size_t out_size);
// Undo them: n must be k; the data's length, or -1 for a malformed block,
// a block of the other type, or data that does not fit out.
int rsa_pkcs1_public_decrypt(mbedtls_rsa_context* rsa, const void* in, size_t n, void* out, size_t out_size);
int rsa_pkcs1_private_decrypt(mbedtls_rsa_context* rsa, const void* in, size_t n, void* out, size_t out_size);

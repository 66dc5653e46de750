// RSA PKCS#1 v1.5 block helpers.
#include "libssl/ssl_rsa.h"

#include <cstring>
#include <vector>

#include "libpal/memory/random.h"

namespace {

constexpr size_t k_overhead = 11;  // 0x00, type, at least 8 padding bytes, 0x00
constexpr uint8_t k_type_sign = 0x01;
constexpr uint8_t k_type_crypt = 0x02;

// Builds the block of the given type into block (k bytes). 0 or -1.
int pad(uint8_t type, const void* in, size_t n, std::vector<uint8_t>& block) {
    const size_t k = block.size();
    if (n + k_overhead > k) return -1;
    const size_t fill = k - n - 3;
    block[0] = 0x00;
    block[1] = type;
    uint8_t* p = block.data() + 2;
    if (type == k_type_sign) {
        memset(p, 0xFF, fill);
    } else {
        if (rsa_rand_cb(nullptr, p, fill) != 0) return -1;
        // Padding bytes must not be zero: draw again for each one that is.
        for (size_t i = 0; i < fill; ++i)
            while (p[i] == 0)
                if (rsa_rand_cb(nullptr, &p[i], 1) != 0) return -1;
    }
    p[fill] = 0x00;
    if (n) memcpy(p + fill + 1, in, n);
    return 0;
}

// The data of a block of the given type, or -1.
int unpad(uint8_t type, const std::vector<uint8_t>& block, void* out, size_t out_size) {
    const size_t k = block.size();
    if (k < k_overhead || block[0] != 0x00 || block[1] != type) return -1;
    size_t i = 2;
    if (type == k_type_sign) {
        while (i < k && block[i] == 0xFF) ++i;
    } else {
        while (i < k && block[i] != 0x00) ++i;
    }
    if (i >= k || block[i] != 0x00) return -1;
    const size_t len = k - i - 1;
    if (len + k_overhead > k || len > out_size) return -1;
    if (len) memcpy(out, block.data() + i + 1, len);
    return static_cast<int>(len);
}

int encrypt(mbedtls_rsa_context* rsa, uint8_t type, const void* in, size_t n, void* out, size_t out_size) {
    if (!rsa || (!in && n) || !out) return -1;
    const size_t k = mbedtls_rsa_get_len(rsa);
    if (k > out_size) return -1;
    std::vector<uint8_t> block(k);
    if (pad(type, in, n, block) != 0) return -1;
    auto* o = static_cast<unsigned char*>(out);
    int ret = type == k_type_crypt ? mbedtls_rsa_public(rsa, block.data(), o)
                                   : mbedtls_rsa_private(rsa, rsa_rand_cb, nullptr, block.data(), o);
    return ret == 0 ? static_cast<int>(k) : -1;
}

int decrypt(mbedtls_rsa_context* rsa, uint8_t type, const void* in, size_t n, void* out, size_t out_size) {
    if (!rsa || !in || !out) return -1;
    const size_t k = mbedtls_rsa_get_len(rsa);
    if (n != k) return -1;
    std::vector<uint8_t> block(k);
    const auto* i = static_cast<const unsigned char*>(in);
    int ret = type == k_type_sign ? mbedtls_rsa_public(rsa, i, block.data())
                                  : mbedtls_rsa_private(rsa, rsa_rand_cb, nullptr, i, block.data());
    if (ret != 0) return -1;
    return unpad(type, block, out, out_size);
}

}  // namespace

int rsa_rand_cb(void* /*ctx*/, unsigned char* buf, size_t len) {
    // Padding and blinding bytes that an observer could predict would undo
    // the encryption: they come from the operating system.
    return memory_random_strong(buf, len) == 0 ? 0 : MBEDTLS_ERR_RSA_RNG_FAILED;
}

int rsa_pkcs1_public_encrypt(mbedtls_rsa_context* rsa, const void* in, size_t n, void* out, size_t out_size) {
    return encrypt(rsa, k_type_crypt, in, n, out, out_size);
}

int rsa_pkcs1_private_encrypt(mbedtls_rsa_context* rsa, const void* in, size_t n, void* out, size_t out_size) {
    return encrypt(rsa, k_type_sign, in, n, out, out_size);
}

int rsa_pkcs1_public_decrypt(mbedtls_rsa_context* rsa, const void* in, size_t n, void* out, size_t out_size) {
    return decrypt(rsa, k_type_sign, in, n, out, out_size);
}

int rsa_pkcs1_private_decrypt(mbedtls_rsa_context* rsa, const void* in, size_t n, void* out, size_t out_size) {
    return decrypt(rsa, k_type_crypt, in, n, out, out_size);
}

// Password forms, login keys and enciphered account values.
#include <cstring>
#include <memory>

#include "libpal/basic/pl_assert.h"
#include "libpal/hash/crc.h"
#include "libpal/hash/sha1.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/text_buf.h"
#include "libpwd/libpwd.h"
#include "liblog/log2.h"

namespace {

constexpr char k_tag[] = "pwd";
constexpr char k_sha_prefix[] = "{SHA}";
constexpr size_t k_prefix_len = sizeof(k_sha_prefix) - 1;
// Secrets never reach the log; this stands in for them.
constexpr char k_masked[] = "***";

const char* text_or_empty(const char* text) { return text ? text : ""; }

}  // namespace

char* libpwd_sha_pwd(const char* pwd, char* out, size_t size) {
    if (!out || size == 0) return out;
    out[0] = '\0';
    if (!pwd || !*pwd) return out;
    // Only a whole form is any use: a cut one would be a wrong password.
    if (!PL_CHECK(k_tag, size > LIBPWD_SHA_PWD_LEN)) return out;
    uint8_t digest[PL_SHA1_DIGEST_LEN];
    pl_sha1_buf(pwd, strlen(pwd), digest);
    if (str_safecopy(out, size, k_sha_prefix) != 0) return out;
    if (str_base64_encode(digest, sizeof digest, out + k_prefix_len, size - k_prefix_len) < 0) out[0] = '\0';
    return out;
}

char* libpwd_sha_pwd_dup(const char* pwd) {
    char form[256];
    libpwd_sha_pwd(pwd, form, sizeof form);
    return pl_strdup(form);
}

int libpwd_build_key(const char* user, const char* pwd, int /*version*/, const char* cert, char* out,
                     size_t size) {
    if (!out) return 0;
    if (size > 0) out[0] = '\0';
    LOG2(LOG2_VERB, k_tag, "user=[%s] pwd=[%s] cert=[%s]\n", text_or_empty(user), k_masked, text_or_empty(cert));
    std::unique_ptr<text_buf, text_buf_deleter> buf(text_buf_new());
    if (!buf) return 0;
    text_buf_add_str(buf.get(), LIBPWD_KEY_SALT);
    text_buf_add_str(buf.get(), text_or_empty(user));
    text_buf_add_str(buf.get(), text_or_empty(pwd));
    text_buf_add_str(buf.get(), text_or_empty(cert));
    uint8_t digest[PL_SHA1_DIGEST_LEN];
    pl_sha1_buf(buf->data, buf->len, digest);
    explicit_bzero(buf->data, buf->len);  // it held the plain password
    int ret = str_bin_encode_hex_lower(digest, sizeof digest, out, size);
    PL_CHECK_TEXT(k_tag, ret != 0, "ret != FALSE");
    LOG2(LOG2_VERB, k_tag, "lkey=[%s]\n", ret ? k_masked : "");
    return 0;
}

int libpwd_encrypt(const char* value, const char* key, char* out, size_t size) {
    if (!out || size == 0) return -1;
    out[0] = '\0';
    if (!value || !key) return -1;
    size_t len = strlen(value);
    rc4_ctx rc4;
    if (rc4_init(&rc4, reinterpret_cast<const uint8_t*>(key), strlen(key)) != 0) return -1;
    std::unique_ptr<uint8_t, pl_mem_deleter> bytes(static_cast<uint8_t*>(pl_malloc(len + 1)));
    if (!bytes) return -1;
    rc4_crypt(&rc4, value, bytes.get(), len);
    int ret = str_base64_encode(bytes.get(), len, out, size);
    explicit_bzero(bytes.get(), len);
    explicit_bzero(&rc4, sizeof rc4);
    if (ret < 0) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int libpwd_decrypt(const char* text, const char* key, char* out, size_t size) {
    if (!out || size == 0) return -1;
    out[0] = '\0';
    if (!text || !key) return -1;
    int len = str_base64_decode(text, out, size);
    if (len <= 0 || static_cast<size_t>(len) >= size) {
        out[0] = '\0';
        return -1;
    }
    out[len] = '\0';
    rc4_ctx rc4;
    if (rc4_init(&rc4, reinterpret_cast<const uint8_t*>(key), strlen(key)) != 0) {
        explicit_bzero(out, static_cast<size_t>(len));
        return -1;
    }
    rc4_crypt(&rc4, out, out, static_cast<uint64_t>(len));
    explicit_bzero(&rc4, sizeof rc4);
    return 0;
}

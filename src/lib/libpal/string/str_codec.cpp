#include "libpal/string/str_codec.h"

#include <array>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr char k_b64_std[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char k_b64_url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char k_hex_upper[] = "0123456789ABCDEF";

// Value of a base64 character of either alphabet, or -1.
constexpr std::array<int8_t, 256> make_b64_values() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(k_b64_std[i])] = static_cast<int8_t>(i);
    t['-'] = 62;
    t['_'] = 63;
    return t;
}
constexpr auto k_b64_values = make_b64_values();

constexpr int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The six byte classes of the percent-encoder, one 256-entry table each.
using byte_set = std::array<bool, 256>;

constexpr byte_set make_class(int cls) {
    byte_set s{};
    for (int c = 0; c <= 32; ++c) s[c] = true;  // control bytes and the blank
    if (cls != STR_ESCAPE_PCT)
        for (int c = 127; c < 256; ++c) s[c] = true;
    const char* extra = "";
    switch (cls) {
    case STR_ESCAPE_URI: extra = "#%?"; break;
    case STR_ESCAPE_URL_ARGS: extra = "#%&+;=?"; break;
    case STR_ESCAPE_QUOTES_PCT: extra = "\"#%'"; break;
    case STR_ESCAPE_QUOTES: extra = "\"'"; break;
    case STR_ESCAPE_PCT: extra = "%"; break;
    case STR_ESCAPE_UNRESERVED:
        for (int c = 33; c < 127; ++c) {
            bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '.' || c == '_' || c == '~';
            s[c] = !keep;
        }
        break;
    default: break;
    }
    for (const char* p = extra; *p; ++p) s[static_cast<unsigned char>(*p)] = true;
    return s;
}
constexpr std::array<byte_set, 6> k_escape_classes = {make_class(0), make_class(1), make_class(2),
                                                      make_class(3), make_class(4), make_class(5)};

bool has_any(const char* text, const char* set) { return text && strpbrk(text, set) != nullptr; }

}  // namespace

// ------------------------------------------------------------------ base64

int str_base64_encode_imp(const void* bytes, size_t len, char* out, size_t out_size, int url_safe) {
    if (!PL_CHECK_TEXT("pal", bytes && out && !(len >= UINT32_MAX / 4 || out_size < PL_BASE64_ENCODE_LEN(len)),
                       "ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in))"))
        return -1;
    const char* abc = url_safe ? k_b64_url : k_b64_std;
    const auto* in = static_cast<const unsigned char*>(bytes);
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        out[o++] = abc[(v >> 18) & 63];
        out[o++] = abc[(v >> 12) & 63];
        out[o++] = abc[(v >> 6) & 63];
        out[o++] = abc[v & 63];
    }
    if (i < len) {
        uint32_t v = uint32_t{in[i]} << 16;
        if (i + 1 < len) v |= uint32_t{in[i + 1]} << 8;
        out[o++] = abc[(v >> 18) & 63];
        out[o++] = abc[(v >> 12) & 63];
        out[o++] = i + 1 < len ? abc[(v >> 6) & 63] : '=';
        out[o++] = '=';
    }
    out[o] = 0;
    return static_cast<int>(o);
}

int str_base64_encode(const void* bytes, size_t len, char* out, size_t out_size) {
    return str_base64_encode_imp(bytes, len, out, out_size, 0);
}

int str_base64url_encode(const void* bytes, size_t len, char* out, size_t out_size) {
    return str_base64_encode_imp(bytes, len, out, out_size, 1);
}

int str_base64_encode_str(const char* text, char* out, size_t out_size) {
    return str_base64_encode_imp(text, text ? strlen(text) + 1 : 0, out, out_size, 0);
}

int str_base64url_encode_str(const char* text, char* out, size_t out_size) {
    return str_base64_encode_imp(text, text ? strlen(text) + 1 : 0, out, out_size, 1);
}

char* str_base64_encode_dup(const void* bytes, size_t len) {
    if (!bytes || len >= UINT32_MAX / 4) return nullptr;
    size_t size = PL_BASE64_ENCODE_LEN(len);
    auto* out = static_cast<char*>(pl_zalloc(size));
    if (out && str_base64_encode_imp(bytes, len, out, size, 0) < 0) {
        pl_free(out);
        return nullptr;
    }
    return out;
}

int str_base64_cat(const char* text, char* out, size_t out_size) {
    if (!text || !out) return 22;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    size_t len = strlen(text);
    for (size_t i = 0; i < len; i += 3) {
        char group[5];
        str_base64_encode_imp(in + i, len - i < 3 ? len - i : 3, group, sizeof group, 0);
        if (int rc = str_safecat(out, out_size, group); rc != 0) return rc;
    }
    return 0;
}

int str_base64_decode(const char* text, void* out, size_t out_size) {
    if (!PL_CHECK_TEXT("pal", text && out, "ib && ob")) return -1;
    auto* o = static_cast<unsigned char*>(out);
    size_t n = 0;
    uint32_t prev = 0;
    size_t pos = 0;  // position inside the group of four
    for (const char* p = text; *p && *p != '='; ++p, pos = (pos + 1) & 3) {
        int v = k_b64_values[static_cast<unsigned char>(*p)];
        if (v < 0) return -1;
        uint32_t cur = static_cast<uint32_t>(v);
        if (pos != 0) {
            if (n >= out_size) return -1;
            switch (pos) {
            case 1: o[n++] = static_cast<unsigned char>((prev << 2) | (cur >> 4)); break;
            case 2: o[n++] = static_cast<unsigned char>((prev << 4) | (cur >> 2)); break;
            default: o[n++] = static_cast<unsigned char>((prev << 6) | cur); break;
            }
        }
        prev = cur;
    }
    return static_cast<int>(n);
}

// -------------------------------------------------------- percent-encoding

size_t str_escape_imp(char* out, const void* bytes, size_t len, int cls) {
    if (cls < 0 || cls >= static_cast<int>(k_escape_classes.size()) || (!bytes && len)) return 0;
    const byte_set& set = k_escape_classes[static_cast<size_t>(cls)];
    const auto* in = static_cast<const unsigned char*>(bytes);
    if (!out) {
        size_t need = 1;
        for (size_t i = 0; i < len; ++i) need += set[in[i]] ? 3 : 1;
        return need;
    }
    size_t o = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = in[i];
        if (set[c]) {
            out[o++] = '%';
            out[o++] = k_hex_upper[c >> 4];
            out[o++] = k_hex_upper[c & 15];
        } else {
            out[o++] = static_cast<char>(c);
        }
    }
    out[o] = 0;
    return o;
}

int str_escape_url_args(const char* text, char* out, size_t out_size) {
    if (!PL_CHECK_TEXT("pal", text && out && out_size, "ib && ob")) return -1;
    out[0] = 0;
    size_t len = strlen(text);
    size_t need = str_escape_imp(nullptr, text, len, STR_ESCAPE_URL_ARGS);
    if (!PL_CHECK_TEXT("pal", need <= out_size, "rlen<=bsize")) return -1;
    str_escape_imp(out, text, len, STR_ESCAPE_URL_ARGS);
    return 0;
}

void str_unescape_imp(char** outp, const char** inp, size_t len, int mode) {
    char* o = *outp;
    const char* s = *inp;
    const char* end = s + len;
    const bool stop_at_q = mode == STR_UNESCAPE_URI || mode == STR_UNESCAPE_URI_SAFE;
    while (s < end) {
        char c = *s;
        if (c != '%') {
            ++s;
            *o = c;
            if (c == 0) break;
            ++o;
            if (stop_at_q && c == '?') break;
            continue;
        }
        // A "%" at the very end, or before a non-digit: the "%" is dropped.
        if (s + 1 >= end) {
            ++s;
            break;
        }
        int hi = hex_value(static_cast<unsigned char>(s[1]));
        if (hi < 0) {
            // The character after the dropped "%" is kept as it is.
            c = s[1];
            s += 2;
            *o = c;
            if (c == 0) break;
            ++o;
            if (stop_at_q && c == '?') break;
            continue;
        }
        // "%" and one digit that the input ends after, or that a non-digit
        // follows: all of them are dropped.
        int lo = s + 2 < end ? hex_value(static_cast<unsigned char>(s[2])) : -1;
        if (lo < 0) {
            s = s + 3 < end ? s + 3 : end;
            continue;
        }
        int byte = hi * 16 + lo;
        if (mode == STR_UNESCAPE_URI_SAFE && (byte < 38 || byte > 126)) {
            o[0] = s[0];
            o[1] = s[1];
            o[2] = s[2];
            o += 3;
            s += 3;
            continue;
        }
        s += 3;
        *o = static_cast<char>(byte);
        if (byte == 0) break;
        ++o;
        if (stop_at_q && byte == '?') break;
    }
    *o = 0;
    *outp = o;
    *inp = s;
}

namespace {

// The whole text unescaped in the given mode: 0, or -1 (out emptied) when it
// does not fit.
int unescape_whole(const char* text, char* out, size_t out_size, int mode) {
    if (!PL_CHECK_TEXT("pal", text && out && out_size, "ib && ob")) return -1;
    size_t len = strlen(text);
    if (len + 1 > out_size) {
        out[0] = 0;
        return -1;
    }
    char* o = out;
    const char* in = text;
    str_unescape_imp(&o, &in, len + 1, mode);
    return 0;
}

}  // namespace

int str_unescape_url_args(const char* text, char* out, size_t out_size) {
    return unescape_whole(text, out, out_size, STR_UNESCAPE_URL_ARGS);
}

int str_unescape_uri(const char* text, char* out, size_t out_size) {
    return unescape_whole(text, out, out_size, STR_UNESCAPE_URI);
}

// ------------------------------------------------------ URL character sets

int str_check_url_key(const char* text) { return has_any(text, STR_URL_KEY_BAN_SET) ? 0 : 1; }

int str_check_url_val(const char* text) { return has_any(text, "&") ? 0 : 1; }

int str_check_escape_val(const char* text) { return has_any(text, STR_URL_VAL_BAN_SET) ? 0 : 1; }

#include "libpal/string/str_hex.h"

#include <array>
#include <cstring>

#include "libpal/memory/pl_mem.h"

namespace {

constexpr char k_hex_upper[] = "0123456789ABCDEF";
constexpr char k_hex_lower[] = "0123456789abcdef";
constexpr uint8_t k_bad = 0xFF;

// Digit values, 0xFF for every other byte. Built at compile time, so there is
// nothing to fill on first use and nothing to race on.
constexpr std::array<uint8_t, 256> make_digit_table() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = k_bad;
    for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'A' + 10);
    return t;
}
constexpr auto k_digits = make_digit_table();

constexpr uint8_t digit(char c) { return k_digits[static_cast<unsigned char>(c)]; }

// One byte from two digits; false on a bad digit.
bool pair_value(char hi, char lo, uint8_t* out) {
    uint8_t h = digit(hi);
    uint8_t l = digit(lo);
    if (h == k_bad || l == k_bad) return false;
    *out = static_cast<uint8_t>(h << 4 | l);
    return true;
}

void encode(const uint8_t* in, size_t n, char* out, const char* digits) {
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[in[i] >> 4];
        out[2 * i + 1] = digits[in[i] & 15];
    }
    out[2 * n] = 0;
}

// Size of the encoding with its terminator, or 0 when it does not fit a size_t.
size_t encoded_size(size_t n) { return n > (SIZE_MAX - 1) / 2 ? 0 : 2 * n + 1; }

}  // namespace

// ---------------------------------------------------------------- digits

uint8_t hex_char_to_val(char c) { return digit(c); }

int hex_char_value(uint8_t* out, char c) {
    uint8_t v = digit(c);
    if (v == k_bad) return 0;
    if (out) *out = v;
    return 1;
}

uint32_t hex_digit_value(char c) {
    uint8_t v = digit(c);
    return v == k_bad ? UINT32_MAX : v;
}

// ---------------------------------------------------------------- encoders

int64_t str_bin_encode_hex(const void* bytes, size_t len, char* out, size_t out_size) {
    if (!bytes) return -1;
    if (len == STR_HEX_LEN_TEXT) len = strlen(static_cast<const char*>(bytes));
    size_t need = encoded_size(len);
    if (need == 0 || need > INT64_MAX) return -1;
    if (!out) return static_cast<int64_t>(need);
    if (need > out_size) return -1;
    encode(static_cast<const uint8_t*>(bytes), len, out, k_hex_upper);
    return static_cast<int64_t>(2 * len);
}

int str_bin_encode_hex_lower(const void* bytes, size_t len, char* out, size_t out_size) {
    if (!out || out_size == 0) return 0;
    size_t need = encoded_size(len);
    if (!bytes || need == 0 || need > out_size) {
        out[0] = 0;
        return 0;
    }
    encode(static_cast<const uint8_t*>(bytes), len, out, k_hex_lower);
    return 1;
}

char* str_bin_encode_hex_dup(const void* bytes, size_t len) {
    if (!bytes) return nullptr;
    size_t need = encoded_size(len);
    if (need == 0) return nullptr;
    auto* out = static_cast<char*>(pl_malloc(need));
    if (out) encode(static_cast<const uint8_t*>(bytes), len, out, k_hex_upper);
    return out;
}

// ---------------------------------------------------------------- decoders

int64_t str_hex_decode_bin(const char* text, int terminate, void* out, size_t out_size) {
    if (!text) return -1;
    size_t n = strlen(text);
    if (n % 2) return -1;
    size_t bytes = n / 2;
    size_t need = bytes + (terminate ? 1 : 0);
    if (!out) {
        for (size_t i = 0; i < n; ++i)
            if (digit(text[i]) == k_bad) return -1;
        return static_cast<int64_t>(need);
    }
    if (need > out_size) return -1;
    auto* o = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < bytes; ++i)
        if (!pair_value(text[2 * i], text[2 * i + 1], &o[i])) return -1;
    if (terminate) o[bytes] = 0;
    return static_cast<int64_t>(bytes);
}

void* str_hex_decode_dup(const char* text, size_t* len_out) {
    if (len_out) *len_out = 0;
    int64_t need = str_hex_decode_bin(text, 1, nullptr, 0);
    if (need < 0) return nullptr;
    void* out = pl_malloc(static_cast<size_t>(need));
    if (!out) return nullptr;
    int64_t n = str_hex_decode_bin(text, 1, out, static_cast<size_t>(need));
    if (n < 0) {
        pl_free(out);
        return nullptr;
    }
    if (len_out) *len_out = static_cast<size_t>(n);
    return out;
}

void* str_hex_decode_dup_ws(char* text, size_t* len_out) {
    if (!text) {
        if (len_out) *len_out = 0;
        return nullptr;
    }
    char* w = text;
    for (const char* r = text; *r; ++r)
        if (*r != ' ' && *r != '\t' && *r != '\r' && *r != '\n') *w++ = *r;
    *w = 0;
    return str_hex_decode_dup(text, len_out);
}

char* str_hex_decode_text(const char* text) { return static_cast<char*>(str_hex_decode_dup(text, nullptr)); }

int64_t str_hex_mask_decode(const char* pattern, uint8_t** bytes_out, size_t* len_out, char** mask_out) {
    if (bytes_out) *bytes_out = nullptr;
    if (mask_out) *mask_out = nullptr;
    if (len_out) *len_out = 0;
    if (!pattern || !bytes_out || !mask_out) return -1;
    // First pass: validate and count the items.
    size_t items = 0;
    for (const char* p = pattern; *p; ++items) {
        if (*p == '?') {
            ++p;
        } else if (digit(p[0]) != k_bad && digit(p[1]) != k_bad) {
            p += 2;
        } else {
            return -1;
        }
    }
    // Blocks of at least one byte, so an empty pattern still gives two blocks.
    auto* bytes = static_cast<uint8_t*>(pl_malloc(items ? items : 1));
    auto* mask = static_cast<char*>(pl_malloc(items ? items : 1));
    if (!bytes || !mask) {
        pl_free(bytes);
        pl_free(mask);
        return -1;
    }
    size_t i = 0;
    for (const char* p = pattern; *p; ++i) {
        if (*p == '?') {
            bytes[i] = 0;
            mask[i] = '?';
            ++p;
        } else {
            pair_value(p[0], p[1], &bytes[i]);
            mask[i] = '_';
            p += 2;
        }
    }
    *bytes_out = bytes;
    *mask_out = mask;
    if (len_out) *len_out = items;
    return static_cast<int64_t>(items);
}

int str_hex_sep_to_bin(const char* text, const char* sep, uint8_t* out, size_t out_size) {
    if (!text || !out) return 1;
    const char s = sep ? sep[0] : 0;
    size_t n = 0;
    const char* p = text;
    while (*p) {
        if (n >= out_size) return 1;
        if (!pair_value(p[0], p[1], &out[n])) return 1;  // p[1] may be the terminator
        ++n;
        p += 2;
        if (*p == 0) break;
        if (*p != s) return 1;
        ++p;
    }
    return 0;
}

int64_t str_hex_skip_sep_to_bin(const char* text, size_t len, uint8_t* out, size_t out_size) {
    if (!text || !out || len < 2 || out_size <= len / 3) return -1;
    auto is_sep = [](char c) { return c == ' ' || c == '-' || c == '.' || c == ':' || c == '_'; };
    size_t n = 0;
    size_t i = 0;
    while (i < len) {
        if (is_sep(text[i])) {
            ++i;
            continue;
        }
        if (i + 1 >= len || n >= out_size) return -1;
        if (!pair_value(text[i], text[i + 1], &out[n])) return -1;
        ++n;
        i += 2;
    }
    return static_cast<int64_t>(n);
}

int str_hex_to_bin_n(const char* text, size_t len, uint8_t* out, size_t out_max, size_t* count_out) {
    size_t n = 0;
    int ok = 1;
    if (!text || !out) {
        ok = 0;
    } else {
        for (size_t i = 0; i + 2 <= len; i += 2) {
            if (n >= out_max || !pair_value(text[i], text[i + 1], &out[n])) {
                ok = 0;
                break;
            }
            ++n;
        }
    }
    if (count_out) *count_out = n;
    return ok;
}

char* str_hex_decode_swap_digits(const char* text, int keep) {
    size_t n = 0;
    auto* t = static_cast<char*>(str_hex_decode_dup(text, &n));
    if (!t) return nullptr;
    // The decoded text ends at its first zero byte.
    n = strnlen(t, n);
    t[n] = 0;
    if (n == 0 || n % 2) {
        pl_free(t);
        return nullptr;
    }
    if (keep) return t;
    for (size_t i = 0; i < n; i += 2) {
        auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
        if (!is_digit(t[i]) || !is_digit(t[i + 1])) {
            pl_free(t);
            return nullptr;
        }
        char c = t[i];
        t[i] = t[i + 1];
        t[i + 1] = c;
    }
    return t;
}

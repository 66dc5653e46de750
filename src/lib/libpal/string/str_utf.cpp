#include "libpal/string/str_utf.h"

#include <cerrno>
#include <cstring>

namespace {

enum class step { ok, bad, incomplete };

bool supported(int enc) { return enc == UTF_16BE || enc == UTF_16LE || enc == UTF_32 || enc == UTF_8; }

constexpr bool is_surrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

uint32_t read16(const unsigned char* p, bool big_endian) {
    return big_endian ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
}

step decode_utf16(const unsigned char* p, size_t left, bool big_endian, uint32_t* cp, size_t* used) {
    if (left < 2) return step::incomplete;
    uint32_t u = read16(p, big_endian);
    if (u >= 0xDC00 && u <= 0xDFFF) return step::bad;  // a low surrogate without its high one
    if (u >= 0xD800 && u <= 0xDBFF) {
        if (left < 4) return step::incomplete;
        uint32_t lo = read16(p + 2, big_endian);
        if (lo < 0xDC00 || lo > 0xDFFF) return step::bad;
        *cp = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        *used = 4;
        return step::ok;
    }
    *cp = u;
    *used = 2;
    return step::ok;
}

step decode_utf32(const unsigned char* p, size_t left, uint32_t* cp, size_t* used) {
    if (left < 4) return step::incomplete;
    memcpy(cp, p, 4);
    *used = 4;
    return step::ok;
}

step decode_utf8(const unsigned char* p, size_t left, uint32_t* cp, size_t* used) {
    unsigned char b = p[0];
    size_t n;
    uint32_t v;
    if (b < 0x80) {
        *cp = b;
        *used = 1;
        return step::ok;
    } else if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        v = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        v = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        v = b & 0x07u;
    } else {
        return step::bad;  // a continuation byte, C0/C1, or a lead past U+10FFFF
    }
    // Each byte present is checked before an early end counts as incomplete,
    // so a malformed sequence cut by the end is still refused.
    for (size_t i = 1; i < n; ++i) {
        if (i >= left) return step::incomplete;
        unsigned char c = p[i];
        if (c < 0x80 || c > 0xBF) return step::bad;
        if (i == 1) {
            if (b == 0xE0 && c < 0xA0) return step::bad;  // overlong
            if (b == 0xED && c > 0x9F) return step::bad;  // surrogate
            if (b == 0xF0 && c < 0x90) return step::bad;  // overlong
            if (b == 0xF4 && c > 0x8F) return step::bad;  // above 10FFFF
        }
        v = v << 6 | (c & 0x3Fu);
    }
    if (v == 0xFFFE || v == 0xFFFF) return step::bad;
    *cp = v;
    *used = n;
    return step::ok;
}

// Bytes of cp in the target encoding, written to out when present.
size_t encode(int to, uint32_t cp, unsigned char* out) {
    switch (to) {
    case UTF_16BE:
    case UTF_16LE: {
        uint16_t units[2];
        size_t n = 1;
        if (cp > 0xFFFF) {
            uint32_t v = cp - 0x10000;
            units[0] = static_cast<uint16_t>(0xD800 + (v >> 10));
            units[1] = static_cast<uint16_t>(0xDC00 + (v & 0x3FF));
            n = 2;
        } else {
            units[0] = static_cast<uint16_t>(cp);
        }
        if (out) {
            for (size_t i = 0; i < n; ++i) {
                unsigned char hi = static_cast<unsigned char>(units[i] >> 8);
                unsigned char lo = static_cast<unsigned char>(units[i]);
                out[2 * i] = to == UTF_16BE ? hi : lo;
                out[2 * i + 1] = to == UTF_16BE ? lo : hi;
            }
        }
        return 2 * n;
    }
    case UTF_32:
        if (out) memcpy(out, &cp, 4);
        return 4;
    default:
        return static_cast<size_t>(utf8_put_char(reinterpret_cast<char*>(out), cp));
    }
}

}  // namespace

int utf8_put_char(char* out, uint32_t cp) {
    unsigned char b[4];
    int n;
    if (cp < 0x80) {
        b[0] = static_cast<unsigned char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<unsigned char>(0xC0 | cp >> 6);
        b[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<unsigned char>(0xE0 | cp >> 12);
        b[1] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
        b[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        n = 3;
    } else if (cp <= 0x10FFFF) {
        b[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
        b[1] = static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F));
        b[2] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
        b[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        n = 4;
    } else {
        b[0] = '?';
        n = 1;
    }
    if (out) memcpy(out, b, static_cast<size_t>(n));
    return n;
}

int64_t utf_conv(int from, int to, const char** in, size_t* in_left, char** out, size_t* out_left) {
    if (!in || !*in || !in_left || *in_left == 0) return 0;
    if (!supported(from) || !supported(to)) {
        errno = EBADF;
        return -1;
    }
    const bool counting = !out || !*out;
    if (!counting && !out_left) {
        errno = E2BIG;
        return -1;
    }
    int64_t produced = 0;
    while (*in_left > 0) {
        const auto* p = reinterpret_cast<const unsigned char*>(*in);
        uint32_t cp = 0;
        size_t used = 0;
        step s;
        switch (from) {
        case UTF_16BE: s = decode_utf16(p, *in_left, true, &cp, &used); break;
        case UTF_16LE: s = decode_utf16(p, *in_left, false, &cp, &used); break;
        case UTF_32: s = decode_utf32(p, *in_left, &cp, &used); break;
        default: s = decode_utf8(p, *in_left, &cp, &used); break;
        }
        if (s == step::incomplete) {
            errno = EINVAL;
            return produced;
        }
        if (s == step::bad || cp > 0x10FFFF || is_surrogate(cp)) {
            errno = EILSEQ;
            return -1;
        }
        size_t n = encode(to, cp, nullptr);
        if (!counting) {
            if (n > *out_left) {
                errno = E2BIG;
                return -1;
            }
            encode(to, cp, reinterpret_cast<unsigned char*>(*out));
            *out += n;
            *out_left -= n;
        }
        *in += used;
        *in_left -= used;
        produced += static_cast<int64_t>(n);
    }
    return produced;
}

// ------------------------------------------------------------- text forms

namespace {

// Units of a UTF-16 text before its zero unit, reading at most max_units.
size_t u16le_len(const void* text, size_t max_units) {
    const auto* p = static_cast<const unsigned char*>(text);
    size_t n = 0;
    while (n < max_units && (p[2 * n] | p[2 * n + 1])) ++n;
    return n;
}

constexpr size_t k_unbounded = SIZE_MAX / 4;

// Converts in_len bytes into out, keeping term_size bytes for the zero
// terminator that is always written. True when the whole input converted.
bool conv_text(int from, int to, const void* text, size_t in_len, char* out, size_t out_size, size_t term_size) {
    const char* in = static_cast<const char*>(text);
    size_t left = in_len;
    char* o = out;
    size_t room = out_size - term_size;
    int64_t r = in_len ? utf_conv(from, to, &in, &left, &o, &room) : 0;
    memset(o, 0, term_size);
    // Converting "with the terminator" makes an incomplete sequence before it
    // malformed, so anything left over is a failure as well.
    return r >= 0 && left == 0;
}

int64_t count_text(int from, int to, const void* text, size_t in_len, size_t term_size) {
    const char* in = static_cast<const char*>(text);
    size_t left = in_len;
    int64_t r = in_len ? utf_conv(from, to, &in, &left, nullptr, nullptr) : 0;
    if (r < 0 || left != 0) return -1;
    return r + static_cast<int64_t>(term_size);
}

}  // namespace

char* str_utf16_to_utf8_n(const void* text, size_t max_units, char* out, size_t out_size) {
    if (!out || out_size == 0) return nullptr;
    if (!text) {
        out[0] = 0;
        return nullptr;
    }
    size_t units = u16le_len(text, max_units);
    return conv_text(UTF_16LE, UTF_8, text, 2 * units, out, out_size, 1) ? out : nullptr;
}

char* str_utf16_to_utf8_conv(const void* text, char* out, size_t out_size) {
    return str_utf16_to_utf8_n(text, k_unbounded, out, out_size);
}

char* str_utf16_to_utf8(const void* text, char* out, size_t out_size) {
    if (out && out_size) out[0] = 0;
    return str_utf16_to_utf8_conv(text, out, out_size);
}

char* str_utf8_to_utf16_conv(const char* text, void* out, size_t out_size) {
    if (!out || out_size == 0) return nullptr;
    auto* o = static_cast<char*>(out);
    if (out_size < 2 || !text) {
        memset(o, 0, out_size < 2 ? out_size : 2);
        return nullptr;
    }
    return conv_text(UTF_8, UTF_16LE, text, strlen(text), o, out_size, 2) ? o : nullptr;
}

char* str_utf8_to_utf16(const char* text, void* out, size_t out_size) {
    if (out && out_size) memset(out, 0, out_size < 2 ? out_size : 2);
    return str_utf8_to_utf16_conv(text, out, out_size);
}

int64_t str_utf16_to_utf8_len(const void* text) {
    if (!text) return -1;
    return count_text(UTF_16LE, UTF_8, text, 2 * u16le_len(text, k_unbounded), 1);
}

int64_t str_utf8_to_utf16_len(const char* text) {
    if (!text) return -1;
    return count_text(UTF_8, UTF_16LE, text, strlen(text), 2);
}

int str_utf16_to_utf8_ex(char* out, size_t* size, const void* text) {
    if (!size || !text) return 0;
    int64_t need = str_utf16_to_utf8_len(text);
    if (need < 0) return 0;
    if (!out) {
        *size = static_cast<size_t>(need);
        return 1;
    }
    if (!str_utf16_to_utf8_conv(text, out, *size)) return 0;
    *size = static_cast<size_t>(need);
    return 1;
}

// ------------------------------------------------------------- 16-bit texts

size_t u16_strlen(const uint16_t* text) {
    if (!text) return 0;
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

size_t u16_strnlen(const uint16_t* text, size_t max_units) {
    if (!text) return 0;
    size_t n = 0;
    while (n < max_units && text[n]) ++n;
    return n;
}

int u16_strcpy(uint16_t* dst, size_t size, const uint16_t* src) {
    if (!dst || size == 0) return -1;
    size_t n = u16_strnlen(src, size);
    if (!src || n >= size) {
        dst[0] = 0;
        return -1;
    }
    memmove(dst, src, (n + 1) * sizeof *dst);
    return 0;
}

int u16_strcat(uint16_t* dst, size_t size, const uint16_t* src) {
    if (!dst || size == 0) return -1;
    size_t d = u16_strnlen(dst, size);
    size_t n = u16_strnlen(src, size);
    if (!src || d >= size || n >= size - d) {
        dst[0] = 0;
        return -1;
    }
    memmove(dst + d, src, (n + 1) * sizeof *dst);
    return 0;
}

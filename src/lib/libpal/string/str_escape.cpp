#include "libpal/string/str_escape.h"

#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr char k_hex_upper[] = "0123456789ABCDEF";

constexpr bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The byte of a single-letter escape, or -1.
int simple_escape(char c) {
    switch (c) {
    case '"': return '"';
    case '\'': return '\'';
    case '?': return '?';
    case '\\': return '\\';
    case 'a': return 7;
    case 'b': return 8;
    case 'e': return 27;
    case 'f': return 12;
    case 'n': return 10;
    case 'r': return 13;
    case 't': return 9;
    case 'v': return 11;
    default: return -1;
    }
}

void log_unknown(unsigned char c) {
    if (c >= 33 && c <= 126)
        LOG2(LOG2_ERR, "pal", "unknown escape sequence: '\\%c'\n", c);
    else
        LOG2(LOG2_ERR, "pal", "unknown escape sequence: '\\x%x'", c);
}

}  // namespace

char* str_unescape_cstr(const char* text) {
    if (!text) return nullptr;
    std::string out;
    const char* p = text;
    while (*p) {
        if (*p != '\\') {
            out += *p++;
            continue;
        }
        ++p;  // the backslash
        char c = *p;
        if (c == 0) {
            log_unknown(0);
            break;
        }
        unsigned v;
        if (int s = simple_escape(c); s >= 0) {
            v = static_cast<unsigned>(s);
            ++p;
        } else if (is_octal(c)) {
            v = 0;
            for (int i = 0; i < 3 && is_octal(*p); ++i) v = v * 8 + static_cast<unsigned>(*p++ - '0');
            v &= 0xFF;
        } else if (c == 'x' || c == 'u' || c == 'U') {
            ++p;
            v = 0;
            for (uint8_t d; hex_char_value(&d, *p); ++p) v = (v << 4 | d) & 0xFF;
        } else {
            log_unknown(static_cast<unsigned char>(c));
            v = static_cast<unsigned char>(c);
            ++p;
        }
        if (v == 0) break;  // a zero byte ends the text
        out += static_cast<char>(v);
    }
    if (out.empty()) return nullptr;
    return pl_strdup(out.c_str());
}

// ------------------------------------------------------------------ JSON

size_t json_escape_imp(char* out, const char* text, size_t len) {
    if (!text) return 0;
    size_t n = 0;
    auto put = [&](char c) {
        if (out) out[n] = c;
        ++n;
    };
    for (size_t i = 0; i < len; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        char short_form = 0;
        switch (c) {
        case '\b': short_form = 'b'; break;
        case '\t': short_form = 't'; break;
        case '\n': short_form = 'n'; break;
        case '\f': short_form = 'f'; break;
        case '\r': short_form = 'r'; break;
        case '\\': short_form = '\\'; break;
        case '"': short_form = '"'; break;
        default: break;
        }
        if (short_form) {
            put('\\');
            put(short_form);
        } else if (c < 32) {
            for (char e : {'\\', 'u', '0', '0'}) put(e);
            put(k_hex_upper[c >> 4]);
            put(k_hex_upper[c & 15]);
        } else {
            put(static_cast<char>(c));
        }
    }
    return n;
}

int str_escape_json(char* out, size_t out_size, const char* text) {
    if (!out || out_size == 0) return -1;
    out[0] = 0;
    if (!text) return -1;
    size_t len = strlen(text);
    size_t need = json_escape_imp(nullptr, text, len);
    if (need + 1 > out_size) return -1;
    out[json_escape_imp(out, text, len)] = 0;
    return 0;
}

int str_escape_json_csv(char* out, size_t out_size, const char* text) {
    if (!out || out_size == 0) return -1;
    out[0] = 0;
    if (!text) return -1;
    size_t len = strlen(text);
    size_t need = json_escape_imp(nullptr, text, len);
    if (need + 3 > out_size) return -1;
    size_t n = json_escape_imp(out, text, len);
    out[n] = 0;
    if (memchr(out, ',', n) && out[0] != '"') {
        memmove(out + 1, out, n);
        out[0] = '"';
        out[n + 1] = '"';
        out[n + 2] = 0;
    }
    return 0;
}

// ------------------------------------------------------------------ HTML

size_t html_escape_imp(char* out, const char* text, size_t len) {
    if (!text) return 0;
    size_t extra = 0;
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        const char* rep = nullptr;
        switch (text[i]) {
        case '"': rep = "&quot;"; break;
        case '&': rep = "&amp;"; break;
        case '>': rep = "&gt;"; break;
        case '<': rep = "&lt;"; break;
        default: break;
        }
        if (!rep) {
            if (out) out[n] = text[i];
            ++n;
            continue;
        }
        size_t r = strlen(rep);
        if (out) memcpy(out + n, rep, r);
        n += r;
        extra += r - 1;
    }
    return out ? n : extra;
}

// ------------------------------------------------------------------ checks

int str_is_digits(const char* text) {
    if (!text) return 0;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9') return 0;
    return 1;
}

int str_has_two_colons(const char* text) {
    if (!text) return 0;
    const char* first = strchr(text, ':');
    return first && strrchr(text, ':') != first ? 1 : 0;
}

int str_check_chars(const char* text, int flags, char* err) {
    char scratch[STR_CHECK_ERR_SIZE];
    if (!err) err = scratch;
    err[0] = 0;
    if ((flags & STR_CHECK_NOT_EMPTY) && (!text || !*text)) {
        str_safecopy_trunc(err, STR_CHECK_ERR_SIZE, "Can't be empty");
        return 0;
    }
    if (!text) return 1;
    static constexpr struct {
        int flag;
        const char* set;
    } k_sets[] = {
        {STR_CHECK_URL_VAL, STR_URL_VAL_BAN_SET},
        {STR_CHECK_NO_AMP_EQ, "&="},
        {STR_CHECK_NO_AMP, "&"},
        {STR_CHECK_NO_BRACKET, "[]"},
    };
    for (const auto& s : k_sets) {
        if ((flags & s.flag) && strpbrk(text, s.set)) {
            str_sprintf_s(err, STR_CHECK_ERR_SIZE, "Can't Contain [%s]", s.set);
            return 0;
        }
    }
    return 1;
}

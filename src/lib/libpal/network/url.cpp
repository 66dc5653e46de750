#include "libpal/network/url.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"
#include "liblog/log2.h"

using std::string_view;

namespace {

constexpr string_view npos_view{};
constexpr size_t npos = string_view::npos;
constexpr char k_empty[] = "";

constexpr bool is_quote(char c) { return c == '"' || c == '\''; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool iequal(string_view a, string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x | 0x20);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y | 0x20);
        if (x != y) return false;
    }
    return true;
}

// The view of a text as url_text_normalize leaves it, except that "\" is
// still "\" (white space, quotes and white space trimmed from both ends).
string_view normalized_view(const char* text) {
    string_view v(text);
    auto trim = [&v](bool (*strip)(char)) {
        while (!v.empty() && strip(v.front())) v.remove_prefix(1);
        while (!v.empty() && strip(v.back())) v.remove_suffix(1);
    };
    trim([](char c) { return str_is_space(c); });
    trim([](char c) { return is_quote(c); });
    trim([](char c) { return str_is_space(c); });
    return v;
}

constexpr bool is_slash(char c) { return c == '/' || c == '\\'; }

// 1 when v holds ":" followed by two separators ("://" once normalised).
bool has_scheme_mark(string_view v) {
    for (size_t i = 0; i + 2 < v.size(); ++i)
        if (v[i] == ':' && is_slash(v[i + 1]) && is_slash(v[i + 2])) return true;
    return false;
}

// Bounded writer of the parts into the parser's buffer.
struct part_writer {
    char* buf;
    size_t size;
    size_t used = 0;
    bool full = false;

    const char* put(string_view s, const char* if_empty = k_empty) {
        if (s.empty()) return if_empty;
        if (s.size() + 1 > size - used) {
            full = true;
            return k_empty;
        }
        char* at = buf + used;
        memcpy(at, s.data(), s.size());
        at[s.size()] = 0;
        used += s.size() + 1;
        return at;
    }
};

void set_empty(url_ctx* ctx) {
    ctx->protocol = "file";
    ctx->user = ctx->passwd = ctx->host = ctx->path = ctx->query = ctx->hash = k_empty;
    ctx->port = 0;
}

// Bounded text builder: appends while they fit, remembers a cut.
struct text_out {
    char* buf;
    size_t size;
    size_t len = 0;
    bool cut = false;

    text_out(char* b, size_t n) : buf(b), size(n) {
        if (size) buf[0] = 0;
    }
    text_out& add(string_view s) {
        if (!size) {
            cut = cut || !s.empty();
            return *this;
        }
        size_t room = size - 1 - len;
        size_t n = s.size() <= room ? s.size() : room;
        if (n < s.size()) cut = true;
        memcpy(buf + len, s.data(), n);
        len += n;
        buf[len] = 0;
        return *this;
    }
    text_out& add(char c) { return add(string_view(&c, 1)); }
    text_out& add_uint(unsigned v) {
        char num[16];
        int n = snprintf(num, sizeof num, "%u", v);
        return add(string_view(num, static_cast<size_t>(n)));
    }
    // A host holding ":" (IPv6) goes in brackets so that the text parses back.
    text_out& add_host(string_view host) {
        if (host.find(':') == npos) return add(host);
        return add('[').add(host).add(']');
    }
};

// Query keys whose values are secrets in log lines.
bool is_secret_key(string_view key) {
    return key == "password" || key == "passwd" || key == "proxy_url" || key == "cookie";
}

bool query_has_secret(string_view query) {
    while (true) {
        size_t cut = query.find('&');
        string_view field = query.substr(0, cut);
        size_t eq = field.find('=');
        if (eq != npos && is_secret_key(field.substr(0, eq))) return true;
        if (cut == npos) return false;
        query.remove_prefix(cut + 1);
    }
}

// The query with the values of secret keys shown as "***".
void add_masked_query(text_out& o, string_view query) {
    bool first = true;
    while (true) {
        size_t cut = query.find('&');
        string_view field = query.substr(0, cut);
        if (!first) o.add('&');
        first = false;
        size_t eq = field.find('=');
        if (eq != npos && is_secret_key(field.substr(0, eq)))
            o.add(field.substr(0, eq + 1)).add("***");
        else
            o.add(field);
        if (cut == npos) return;
        query.remove_prefix(cut + 1);
    }
}

// The masked shape of a parsed URL.
void add_masked(text_out& o, const url_ctx& u, bool mask_query) {
    if (strcmp(u.protocol, "name") == 0)
        o.add("///");
    else if (strcmp(u.protocol, "file") != 0)
        o.add(u.protocol).add("://");
    if (*u.user || *u.passwd) {
        o.add(u.user);
        if (*u.passwd) o.add(":***");
        o.add('@');
    }
    o.add_host(u.host);
    if (u.port) o.add(':').add_uint(u.port);
    o.add(u.path);
    if (*u.query) {
        o.add('?');
        if (mask_query)
            add_masked_query(o, u.query);
        else
            o.add(u.query);
    }
    if (*u.hash) o.add('#').add(u.hash);
}

// Where a text has an "@" after its "://" that the parse cannot have taken
// as the end of a user and password (it lies past the first "/", "?", "#"
// or "\\" of the authority, as when a password holds one of them), the
// position of its last "@"; npos otherwise. Everything between "://" and
// that "@" may be a password.
size_t stray_at(string_view text) {
    const size_t mark = text.find("://");
    if (mark == npos) return npos;
    const size_t start = mark + 3;
    const size_t at = text.rfind('@');
    if (at == npos || at < start) return npos;
    const size_t authority_end = text.find_first_of("/?#\\", start);
    return authority_end != npos && authority_end < at ? at : npos;
}

// The masked shape of a text with a stray "@": its scheme, "***" for all
// up to the last "@", then the rest (with the secret query values masked
// when asked).
void add_masked_to_last_at(text_out& o, string_view text, size_t at, bool mask_query) {
    o.add(text.substr(0, text.find("://") + 3)).add("***");
    string_view rest = text.substr(at);
    const size_t q = rest.find('?');
    if (!mask_query || q == npos) {
        o.add(rest);
        return;
    }
    o.add(rest.substr(0, q + 1));
    string_view query = rest.substr(q + 1);
    const size_t hash = query.find('#');
    add_masked_query(o, query.substr(0, hash));
    if (hash != npos) o.add(query.substr(hash));
}

// The value of key in the query of url, decoded into out. 1 when found and
// copied, 0 when absent, -1 when the value does not fit (with a log line).
int query_value(const char* url, const char* key, char* out, size_t size) {
    if (!url || !key) return 0;
    const char* q = strchr(url, '?');
    string_view raw;
    if (!str_kv_find(q ? q + 1 : url, "&", '=', key, &raw)) return 0;
    char dec[URL_SIZE];
    if (raw.size() >= sizeof dec) {
        str_view_safecopy(raw, dec, sizeof dec);  // logs the overflow
        if (size) out[0] = 0;
        return -1;
    }
    char* o = dec;
    const char* in = raw.data();
    str_unescape_imp(&o, &in, raw.size(), STR_UNESCAPE_URL_ARGS);
    return str_safecopy(out, size, dec) == 0 ? 1 : -1;
}

// Leading decimal number of text, saturated at [lo, hi]; 0 when it does not
// start with one.
int64_t leading_number(const char* text, int64_t lo, int64_t hi) {
    const char* p = text;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    uint64_t limit = neg ? static_cast<uint64_t>(-(lo + 1)) + 1 : static_cast<uint64_t>(hi);
    uint64_t v = 0;
    for (; is_digit(*p); ++p) {
        unsigned d = static_cast<unsigned>(*p - '0');
        v = v > (limit - d) / 10 ? limit : v * 10 + d;
    }
    if (!neg) return static_cast<int64_t>(v);
    return v == limit ? lo : -static_cast<int64_t>(v);
}

const char* mode_name(int mode, char* buf, size_t size) {
    switch (mode) {
    case set_always: return "set_always";
    case set_not_exist: return "set_not_exist";
    case set_exist: return "set_exist";
    case del_exist: return "del_exist";
    default: str_sprintf_s(buf, size, "unkown(%d)", mode); return buf;
    }
}

// A text for an error line: masked, and short enough that the rest of the
// line survives (a cut text ends with "..."). A URL buffer (in_buffer) is
// read only within its URL_SIZE bytes.
constexpr size_t k_shown_size = 2048;
void shown_text(const char* text, bool in_buffer, char* out, size_t size) {
    out[0] = 0;
    if (!text) return;
    if (strnlen(text, URL_SIZE) == URL_SIZE) {
        if (in_buffer)
            str_safecopy_trunc(out, size, "(not terminated)");
        else
            str_sprintf_s(out, size, "(%zu characters)", strlen(text));
    } else if (url_mask_password(text, out, size) != 0) {
        memcpy(out + size - 4, "...", 4);
    }
}

// The error line of an edit, with the URL and the value shown masked.
[[gnu::noinline]] int set_query_fail(const char* url, const char* key, const char* val, int escape, int mode,
                                     const char* error) {
    char shown_url[k_shown_size];
    char shown_val[k_shown_size];
    char mode_buf[32];
    shown_text(url, true, shown_url, sizeof shown_url);
    shown_text(val, false, shown_val, sizeof shown_val);
    LOG2(LOG2_ERR, "pal", "url=[%s] key=[%s] val=[%s] escape=[%d] mode=[%s] error: %s\n", shown_url,
         key ? key : "", shown_val, escape, mode_name(mode, mode_buf, sizeof mode_buf), error);
    return -1;
}

// The error line of the appending edits.
[[gnu::noinline]] int append_fail(const char* func, const char* url, const char* what, const char* error) {
    char shown_url[k_shown_size];
    char shown_what[k_shown_size];
    shown_text(url, true, shown_url, sizeof shown_url);
    shown_text(what, false, shown_what, sizeof shown_what);
    log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, func, "url=[%s] add=[%s] error: %s\n", shown_url,
                shown_what, error);
    return -1;
}

constexpr char k_url_too_long[] = "url too long";

// url_set_query; shown_val is the value as the log line shows it.
int set_query_imp(char* url, const char* key, const char* val, int escape, int mode, const char* shown_val) {
    char err[64];
    if (!shown_val) shown_val = val;
    auto fail = [&](const char* error) { return set_query_fail(url, key, shown_val, escape, mode, error); };

    if (!url || !key || !val) return fail("key or val cannot be null");
    if (!*key) return fail("key cannot be empty");
    if (!str_check_url_key(key)) {
        str_sprintf_s(err, sizeof err, "key cannot contain [%s]", STR_URL_KEY_BAN_SET);
        return fail(err);
    }
    if (mode < set_always || mode > del_exist) return fail("unknown mode");
    const size_t url_len = strnlen(url, URL_SIZE);
    if (url_len == URL_SIZE) return fail(k_url_too_long);

    // The value as it goes into the query.
    char escaped[URL_SIZE];
    string_view value;
    if (escape) {
        size_t len = strlen(val);
        if (str_escape_imp(nullptr, val, len, STR_ESCAPE_URL_ARGS) > sizeof escaped) return fail("val too long");
        value = string_view(escaped, str_escape_imp(escaped, val, len, STR_ESCAPE_URL_ARGS));
    } else {
        if (!str_check_url_val(val)) {
            str_sprintf_s(err, sizeof err, "escape_val cannot contain [%s]", "&");
            return fail(err);
        }
        value = val;
    }
    if (value.empty() && mode != del_exist) return fail("val cannot be empty");

    const string_view whole(url, url_len);
    const size_t qmark = whole.find('?');
    const string_view base = whole.substr(0, qmark);
    const string_view query = qmark == npos ? npos_view : whole.substr(qmark + 1);
    const string_view k(key);

    char out[URL_SIZE];
    text_out o(out, sizeof out);
    o.add(base);
    if (query.empty()) {
        if (mode == set_always || mode == set_not_exist) o.add('?').add(k).add('=').add(value);
    } else {
        bool matched = false;
        bool wrote = false;
        auto next_sep = [&wrote]() {
            char c = wrote ? '&' : '?';
            wrote = true;
            return c;
        };
        string_view rest = query;
        for (size_t start = 0;; ) {
            size_t cut = rest.find('&');
            string_view field = rest.substr(0, cut);
            // A field equal to an earlier one is dropped (empty ones stay).
            bool repeated = false;
            if (!field.empty()) {
                string_view before = query.substr(0, start);
                while (!before.empty() && !repeated) {
                    size_t c2 = before.find('&');
                    repeated = before.substr(0, c2) == field;
                    before = c2 == npos ? npos_view : before.substr(c2 + 1);
                }
            }
            bool match = field.size() > k.size() && field.compare(0, k.size(), k) == 0 && field[k.size()] == '=';
            if (!repeated) {
                if (match && (mode == set_always || mode == set_exist)) {
                    // Every field of the key gets the one new value: write it once.
                    if (!matched) o.add(next_sep()).add(k).add('=').add(value);
                } else if (!(match && mode == del_exist)) {
                    o.add(next_sep()).add(field);
                }
            }
            matched = matched || match;
            if (cut == npos) break;
            rest.remove_prefix(cut + 1);
            start += cut + 1;
        }
        if (!matched && (mode == set_always || mode == set_not_exist)) o.add(next_sep()).add(k).add('=').add(value);
    }
    if (o.cut) return fail(k_url_too_long);
    memcpy(url, out, o.len + 1);
    return 0;
}

int set_query_kv(char* url, const char* kv, int escape) {
    char key[URL_PART_SIZE];
    char val[URL_SIZE];
    if (!kv || str_get_key_and_val(kv, "=", key, sizeof key, val, sizeof val) != 0) {
        char shown[k_shown_size];
        shown_text(kv, false, shown, sizeof shown);
        LOG2(LOG2_ERR, "pal", "str_get_key_and_val [%s] failed\n", shown);
        return -1;
    }
    return set_query_imp(url, key, val, escape, set_always, nullptr);
}

int set_query_base64(char* url, const char* key, const char* text, int url_safe) {
    char enc[URL_SIZE];
    if (!text) return set_query_imp(url, key, text, 1, set_always, nullptr);
    char shown[k_shown_size];
    size_t len = strlen(text) + 1;
    if (len >= UINT32_MAX / 4 || PL_BASE64_ENCODE_LEN(len) > sizeof enc) {
        shown_text(text, false, shown, sizeof shown);
        return set_query_fail(url, key, shown, 1, set_always, "val too long");
    }
    str_base64_encode_imp(text, len, enc, sizeof enc, url_safe);
    // A failing edit shows the text itself (masked), not its encoding.
    shown_text(text, false, shown, sizeof shown);
    return set_query_imp(url, key, enc, 1, set_always, shown);
}

}  // namespace

// ------------------------------------------------------------------ parsing

char* url_text_normalize(char* text) {
    if (!text) return text;
    str_trim_unquote(text);
    for (char* p = text; *p; ++p)
        if (*p == '\\') *p = '/';
    return text;
}

int url_parser_imp(url_ctx* ctx, const char* url) {
    if (!ctx) return -1;
    set_empty(ctx);
    if (!PL_CHECK_TEXT("pal", ctx->buffer, "p")) return -1;
    char work[URL_SIZE];
    if (!url || str_safecopy(work, url) != 0) return -1;
    url_text_normalize(work);
    const string_view t(work);
    part_writer w{ctx->buffer, URL_SIZE};

    // Scheme.
    string_view rest;
    if (t.substr(0, 3) == "///") {
        ctx->protocol = "name";
        rest = t.substr(3);
    } else if (size_t mark = t.find("://"); mark != npos) {
        ctx->protocol = w.put(t.substr(0, mark));
        rest = t.substr(mark + 3);
    } else {
        // A plain name is a local file name, taken as it stands (blanks,
        // quotes and backslashes are part of it): the path up to the first
        // "?", the query after it.
        const string_view raw(url);
        size_t q = raw.find('?');
        ctx->path = w.put(raw.substr(0, q));
        if (q != npos) ctx->query = w.put(raw.substr(q + 1));
        if (w.full) {
            set_empty(ctx);
            return -1;
        }
        return 0;
    }

    // User and password: the last "@" of the authority (the text before the
    // first "/", "?" or "#"), so a path or query holding "@" is no user, and
    // a password may hold "@".
    const string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (size_t at = authority.rfind('@'); at != npos) {
        const string_view userinfo = authority.substr(0, at);
        size_t colon = userinfo.find(':');
        ctx->user = w.put(userinfo.substr(0, colon));
        if (colon != npos) ctx->passwd = w.put(userinfo.substr(colon + 1));
        rest.remove_prefix(at + 1);
    }

    // Host.
    size_t i;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == npos) {
            ctx->host = w.put(rest.substr(1));
            ctx->path = "/";
            if (w.full) {
                set_empty(ctx);
                return -1;
            }
            return 0;
        }
        ctx->host = w.put(rest.substr(1, close - 1));
        i = close + 1;
    } else {
        i = rest.find_first_of(" \t\n\v\f\r&/:?\\");
        if (i == npos) i = rest.size();
        ctx->host = w.put(rest.substr(0, i));
    }

    // Port: up to 12 digits, kept modulo 65536.
    if (i < rest.size() && rest[i] == ':') {
        ++i;
        uint64_t port = 0;
        for (int n = 0; n < 12 && i < rest.size() && is_digit(rest[i]); ++n, ++i) port = port * 10 + (rest[i] - '0');
        ctx->port = static_cast<uint16_t>(port % 65536);
    }

    // Path.
    while (i < rest.size() && str_is_space(rest[i])) ++i;
    size_t path_end = rest.find_first_of("#?", i);
    if (path_end == npos) path_end = rest.size();
    ctx->path = w.put(rest.substr(i, path_end - i), "/");

    // Query and fragment: only after a "?".
    size_t q = rest.find('?', path_end);
    if (q != npos) {
        while (q < rest.size() && (rest[q] == '?' || str_is_space(rest[q]))) ++q;
        size_t hash = rest.find('#', q);
        ctx->query = w.put(rest.substr(q, hash == npos ? npos : hash - q));
        if (hash != npos) ctx->hash = w.put(rest.substr(hash + 1));
    }
    if (w.full) {
        set_empty(ctx);
        return -1;
    }
    return 0;
}

int url_parser(url_ctx* ctx, char* buffer, const char* url) {
    if (!ctx) return -1;
    *ctx = url_ctx{};
    ctx->buffer = buffer;
    if (buffer) memset(buffer, 0, URL_SIZE);
    return url_parser_imp(ctx, url);
}

int url_scheme_type(const char* url) {
    url_ctx u;
    char buf[URL_SIZE];
    if (url_parser(&u, buf, url) != 0) return URL_CLASS_OTHER;
    const string_view p(u.protocol);
    if (iequal(p, "file")) return URL_CLASS_FILE;
    if (iequal(p, "http") || iequal(p, "https")) return URL_CLASS_HTTP;
    if (iequal(p, "kxp") || iequal(p, "kxps")) return URL_CLASS_KXP;
    if (iequal(p, "ftp") || iequal(p, "ftps")) return URL_CLASS_FTP;
    if (iequal(p, "name")) return URL_CLASS_NAME;
    return URL_CLASS_OTHER;
}

namespace {

// Parses url and strictly copies the part chosen by pick into out.
template <typename Pick>
int get_part(const char* url, char* out, size_t size, bool empty_fails, Pick pick) {
    if (!out || size == 0) return -1;
    out[0] = 0;
    url_ctx u;
    char buf[URL_SIZE];
    if (url_parser(&u, buf, url) != 0) return -1;
    const char* part = pick(u);
    if (empty_fails && !*part) return -1;
    return str_safecopy(out, size, part) == 0 ? 0 : -1;
}

}  // namespace

int url_get_scheme(const char* url, char* out, size_t size) {
    return get_part(url, out, size, false, [](const url_ctx& u) { return u.protocol; });
}

int url_get_host(const char* url, char* out, size_t size) {
    return get_part(url, out, size, true, [](const url_ctx& u) { return u.host; });
}

int url_get_path(const char* url, char* out, size_t size) {
    return get_part(url, out, size, true, [](const url_ctx& u) { return u.path; });
}

bool url_local_path_ends_with(const char* url, std::string_view suffixes) {
    if (!url || url_scheme_type(url) != URL_CLASS_FILE) return false;
    char buf[URL_PART_SIZE];
    if (url_get_path(url, buf, sizeof buf) != 0) return false;
    const std::string_view path(buf);
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    while (true) {
        const size_t semi = suffixes.find(';');
        const std::string_view one = suffixes.substr(0, semi);
        if (!one.empty() && one.size() <= path.size() &&
            std::equal(one.begin(), one.end(), path.end() - static_cast<std::ptrdiff_t>(one.size()),
                       [&](char a, char b) { return fold(a) == fold(b); }))
            return true;
        if (semi == std::string_view::npos) return false;
        suffixes.remove_prefix(semi + 1);
    }
}

int url_has_no_scheme(const char* text) {
    if (!text) return 1;
    return has_scheme_mark(normalized_view(text)) ? 0 : 1;
}

// ------------------------------------------------------------ query reading

int url_query_get(const char* url, const char* key, const char* def, char* out, size_t size) {
    if (!out || size == 0) return -1;
    int r = query_value(url, key, out, size);
    if (r > 0) return 0;
    if (r < 0) return -1;
    if (!def) {
        out[0] = 0;
        return 0;
    }
    return str_safecopy(out, size, def) == 0 ? 0 : -1;
}

char* url_query_get_str(const char* url, const char* key, const char* def, char* out, size_t size) {
    url_query_get(url, key, def, out, size);
    return out;
}

char* url_query_get_dup(const char* url, const char* key, const char* def) {
    char buf[URL_PART_SIZE];
    int r = query_value(url, key, buf, sizeof buf);
    if (r < 0) return nullptr;
    if (r == 0) {
        if (!def || str_safecopy(buf, def) != 0) return nullptr;
    }
    return pl_strdup(buf);
}

int64_t url_query_get_int64(const char* url, const char* key, int64_t def) {
    char buf[64];
    if (query_value(url, key, buf, sizeof buf) <= 0 || !buf[0]) return def;
    return leading_number(buf, INT64_MIN, INT64_MAX);
}

int32_t url_query_get_int(const char* url, const char* key, int32_t def) {
    char buf[64];
    if (query_value(url, key, buf, sizeof buf) <= 0 || !buf[0]) return def;
    return static_cast<int32_t>(leading_number(buf, INT32_MIN, INT32_MAX));
}

int url_query_has_key(const char* url, const char* key) {
    if (!url || !key) return 0;
    const char* q = strchr(url, '?');
    return str_kv_find(q ? q + 1 : url, "&", '=', key, nullptr) ? 1 : 0;
}

int str_args_get(const char* query, const char* key, char* out, size_t size) {
    if (!query || !key || !out || size == 0) return -1;
    string_view raw;
    if (!str_kv_find(query, "&", '=', key, &raw)) return -1;
    char dec[URL_SIZE];
    if (str_view_safecopy(raw, dec, sizeof dec) != 0) {
        out[0] = 0;
        return -1;
    }
    if (str_unescape_url_args(dec, dec, sizeof dec) != 0) return -1;
    return str_safecopy(out, size, dec) == 0 ? 0 : -1;
}

str_map* url_get_query_map(const char* url) {
    if (!url) return nullptr;
    const char* q = strchr(url, '?');
    string_view rest(q ? q + 1 : url);
    if (rest.empty()) return nullptr;
    str_map* map = str_map_new(STR_MAP_COPY_KEY | STR_MAP_COPY_VAL);
    if (!map) return nullptr;
    char key[URL_PART_SIZE];
    char val[URL_SIZE];
    while (true) {
        size_t cut = rest.find('&');
        string_view field = rest.substr(0, cut);
        // Key and value as str_get_key_and_val gives them: a second "=" ends the value.
        size_t eq = field.find('=');
        if (!field.empty() && eq == npos) {
            // A flag without a value: noted, and the fields after it still count.
            LOG2(LOG2_DBG, "pal", "str_get_key_and_val [%.*s] failed\n", static_cast<int>(field.size()),
                 field.data());
        } else if (!field.empty()) {
            string_view k = field.substr(0, eq);
            string_view v = field.substr(eq + 1);
            v = v.substr(0, v.find('='));
            if (str_view_safecopy(k, key, sizeof key) == 0 && str_view_safecopy(v, val, sizeof val) == 0 &&
                str_unescape_url_args(val, val, sizeof val) == 0)
                str_map_add(map, key, val);  // a repeated key keeps its first value
        }
        if (cut == npos) break;
        rest.remove_prefix(cut + 1);
    }
    return map;
}

// ------------------------------------------------------------ query editing

int url_set_query(char* url, const char* key, const char* val, int escape, int mode) {
    return set_query_imp(url, key, val, escape, mode, nullptr);
}

int url_set_query_str_mode(char* url, const char* key, const char* val, int mode) {
    return url_set_query(url, key, val, 1, mode);
}

int url_set_query_str(char* url, const char* key, const char* val) { return url_set_query(url, key, val, 1, set_always); }

int url_set_query_raw(char* url, const char* key, const char* val) { return url_set_query(url, key, val, 0, set_always); }

int url_set_query_int_mode(char* url, const char* key, int32_t val, int mode) {
    char num[16];
    str_sprintf_s(num, sizeof num, "%d", val);
    return url_set_query(url, key, num, 1, mode);
}

int url_set_query_int64_mode(char* url, const char* key, int64_t val, int mode) {
    char num[32];
    str_sprintf_s(num, sizeof num, "%lli", static_cast<long long>(val));
    return url_set_query(url, key, num, 1, mode);
}

int url_set_query_int(char* url, const char* key, int32_t val) { return url_set_query_int_mode(url, key, val, set_always); }

int url_set_query_int64(char* url, const char* key, int64_t val) {
    return url_set_query_int64_mode(url, key, val, set_always);
}

int url_set_query_base64url(char* url, const char* key, const char* text) { return set_query_base64(url, key, text, 1); }

int url_set_query_base64(char* url, const char* key, const char* text) { return set_query_base64(url, key, text, 0); }

int url_set_query_kv(char* url, const char* kv) { return set_query_kv(url, kv, 1); }

int url_set_query_kv_raw(char* url, const char* kv) { return set_query_kv(url, kv, 0); }

int url_del_query(char* url, const char* key) { return url_set_query(url, key, "", 1, del_exist); }

int url_add_query_raw(char* url, const char* kv) {
    if (!url || !kv) return append_fail(__func__, url, kv, "url or kv cannot be null");
    size_t len = strnlen(url, URL_SIZE);
    size_t add = strlen(kv);
    if (len == URL_SIZE || add + 1 > URL_SIZE - 1 - len) return append_fail(__func__, url, kv, k_url_too_long);
    url[len] = memchr(url, '?', len) ? '&' : '?';
    memcpy(url + len + 1, kv, add + 1);
    return 0;
}

int url_add_path(char* url, const char* path) {
    if (!url || !path) return append_fail(__func__, url, path, "url or path cannot be null");
    size_t len = strnlen(url, URL_SIZE);
    if (len == URL_SIZE) return append_fail(__func__, url, path, k_url_too_long);
    const string_view whole(url, len);
    const size_t qmark = whole.find('?');
    char out[URL_SIZE];
    text_out o(out, sizeof out);
    if (qmark == npos) {
        o.add(whole).add(path);
    } else {
        o.add(whole.substr(0, qmark));
        if (!is_slash(path[0])) o.add('/');
        o.add(path).add(whole.substr(qmark));
    }
    if (o.cut) return append_fail(__func__, url, path, k_url_too_long);
    memcpy(url, out, o.len + 1);
    return 0;
}

// --------------------------------------------------------------- formatting

int url_build(const url_ctx* ctx, char* out, size_t size) {
    if (!ctx || !out || size == 0) return -1;
    text_out o(out, size);
    if (strcmp(ctx->protocol, "file") == 0) {
        o.add(ctx->protocol).add("://").add(ctx->path);
    } else {
        o.add(ctx->protocol).add("://");
        if (*ctx->user) {
            o.add(ctx->user);
            if (*ctx->passwd) o.add(':').add(ctx->passwd);
            o.add('@');
        }
        o.add_host(ctx->host);
        if (ctx->port) o.add(':').add_uint(ctx->port);
        o.add(ctx->path);
        if (*ctx->query) o.add('?').add(ctx->query);
        if (*ctx->hash) o.add('#').add(ctx->hash);
    }
    return o.cut ? -1 : 0;
}

int url_mask_text(const char* url, char* out, size_t size) {
    if (!out || size == 0) return -1;
    url_ctx u;
    char buf[URL_SIZE];
    text_out o(out, size);
    const string_view text = url ? string_view(url, strnlen(url, URL_SIZE)) : string_view();
    if (size_t at = stray_at(text); at != npos && text.size() < URL_SIZE)
        add_masked_to_last_at(o, text, at, false);
    else if (url_parser(&u, buf, url) != 0)
        o.add("url parser error");
    else
        add_masked(o, u, false);
    return o.cut ? -1 : 0;
}

int url_mask_password(const char* url, char* out, size_t size) {
    if (!out || size == 0) return -1;
    url_ctx u;
    char buf[URL_SIZE];
    text_out o(out, size);
    if (!url) {
        // nothing to show
    } else if (strnlen(url, URL_SIZE) == URL_SIZE || url_parser(&u, buf, url) != 0) {
        // too long to parse (and to print whole)
        o.add("url parser error");
    } else if (size_t at = stray_at(url); at != npos) {
        add_masked_to_last_at(o, url, at, true);
    } else if (*u.passwd || query_has_secret(u.query)) {
        add_masked(o, u, true);
    } else {
        o.add(url);
    }
    return o.cut ? -1 : 0;
}

void url_dump(const url_ctx* ctx) {
    if (!ctx) return;
    auto field = [](const char* name, const char* v) {
        if (v && *v) printf("%s=%s\n", name, v);
    };
    field("protocol", ctx->protocol);
    field("user", ctx->user);
    field("passwd", ctx->passwd);
    field("host", ctx->host);
    if (ctx->port) printf("port=%d\n", ctx->port);
    field("path", ctx->path);
    field("query", ctx->query);
    field("hash", ctx->hash);
}

int url_scheme_prefix(const char* url, char* out, size_t size) {
    if (!out || size == 0) return -1;
    url_ctx u;
    char buf[URL_SIZE];
    text_out o(out, size);
    o.add(url_parser(&u, buf, url) == 0 ? u.protocol : "file").add("://");
    return o.cut ? -1 : 0;
}

int url_is_absolute(const char* text) {
    if (!text) return 0;
    const string_view v = normalized_view(text);
    if (has_scheme_mark(v)) return 1;
    if (!v.empty() && is_slash(v[0])) return 1;
    return v.size() >= 2 && v[1] == ':' ? 1 : 0;
}

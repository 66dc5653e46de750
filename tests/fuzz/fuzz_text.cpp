// URLs, sizes, key=value texts and byte encodings.
//
// Input: one selector byte, then the texts of the chosen parser (each ended
// by a zero byte; the last runs to the end). Checks: a parsed URL whose
// path starts with "/" and whose host is one a URL can hold, built again,
// parses to the same record; a refused URL query or key=value edit leaves
// the text byte for byte as it was, an accepted one reads back; a size
// valid in full reads the same through the lenient reader; every encoding
// decodes to the bytes it was made of, and what a decoder accepts encodes
// and decodes to the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_size.h"
#include "libpal/string/str_utf.h"

namespace {

bool same(const char* a, const char* b) { return std::string_view(a) == b; }

// No blank or control character (a reader trims keys).
bool printable(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
    return true;
}

void check_url(fuzz::reader& in) {
    const std::string text = in.text();
    static char buf[URL_SIZE], buf2[URL_SIZE], built[URL_SIZE], masked[URL_SIZE];
    url_ctx u{};
    (void)url_mask_password(text.c_str(), masked, sizeof masked);
    (void)url_mask_text(text.c_str(), masked, sizeof masked);
    (void)url_scheme_type(text.c_str());
    if (url_parser(&u, buf, text.c_str()) != 0) return;
    if (same(u.protocol, "file") || same(u.protocol, "name")) return;
    // A port without digits leaves its text to the path, which then does
    // not start with "/": such a record is not one a URL text can give back.
    if (u.path[0] != '/') return;
    // A "[" without its "]" makes the rest of the text the host: a host no
    // URL text gives back.
    if (strpbrk(u.host, "/?&\\[] \t\r\n\v\f")) return;
    // A password without a user is not written; a fragment is recognised
    // only after a query, and a "?" in it would start one.
    if (!*u.user && *u.passwd) return;
    if (*u.hash && (!*u.query || strpbrk(u.hash, "?#"))) return;
    if (url_build(&u, built, sizeof built) != 0) return;
    // (The parser trims blanks, control characters and quotes at the ends
    // of a text.)
    if (!printable(built) || strpbrk(built, "'\"")) return;
    url_ctx v{};
    FUZZ_CHECK(url_parser(&v, buf2, built) == 0);
    if (getenv("KXDD_FUZZ_TRACE")) {
        for (const url_ctx* x : {&u, &v})
            fprintf(stderr, "proto[%s] user[%s] pass[%s] host[%s] port[%u] path[%s] query[%s] hash[%s]\n", x->protocol,
                    x->user, x->passwd, x->host, x->port, x->path, x->query, x->hash);
        fprintf(stderr, "built [%s]\n", built);
    }
    FUZZ_CHECK(same(u.protocol, v.protocol));
    FUZZ_CHECK(same(u.user, v.user));
    FUZZ_CHECK(same(u.passwd, v.passwd));
    FUZZ_CHECK(same(u.host, v.host));
    FUZZ_CHECK(u.port == v.port);
    FUZZ_CHECK(same(u.path, v.path));
    FUZZ_CHECK(same(u.query, v.query));
    FUZZ_CHECK(same(u.hash, v.hash));
}

// A URL query edit either succeeds or leaves the text as it was; a value set
// with escaping reads back decoded.
void check_url_query(fuzz::reader& in) {
    const uint8_t mode = static_cast<uint8_t>(in.byte() % 5);
    const uint8_t escape = in.byte() & 1;
    const std::string key = in.text();
    const std::string val = in.text();
    const std::string text = in.text();
    if (text.size() >= URL_SIZE) return;
    static char url[URL_SIZE], before[URL_SIZE], out[URL_SIZE];
    memset(url, 0, sizeof url);
    memcpy(url, text.c_str(), text.size() + 1);
    memcpy(before, url, sizeof url);
    const int rc = url_set_query(url, key.c_str(), val.c_str(), escape, mode);
    if (rc != 0) {
        FUZZ_CHECK(memcmp(url, before, sizeof url) == 0);
    } else if (mode == set_always && escape && text.find('#') == std::string::npos && printable(key) &&
               printable(text)) {
        FUZZ_CHECK(url_query_get(url, key.c_str(), nullptr, out, sizeof out) == 0);
        FUZZ_CHECK(val == out);
    } else if (mode == del_exist && text.find('?') != std::string::npos && printable(text)) {
        // (A text without "?" has no query to edit, though a reader takes
        // such a text whole as a query; and a reader trims the keys it
        // compares, the editor does not. A delete that leaves no "?" leaves
        // a text a reader again takes whole.)
        if (strchr(url, '?')) FUZZ_CHECK(url_query_has_key(url, key.c_str()) == 0);
    }
    (void)url_query_get_int64(text.c_str(), key.c_str(), 7);
    if (str_map* m = url_get_query_map(text.c_str())) str_map_free(m);
    memcpy(before, url, sizeof url);
    if (url_add_path(url, val.c_str()) != 0) FUZZ_CHECK(memcmp(url, before, sizeof url) == 0);
}

void check_size(fuzz::reader& in) {
    const std::string text = in.text();
    uint64_t v = 0;
    const uint64_t lenient = str_to_size(text.c_str());
    if (str_to_size_checked(text.c_str(), &v) == 0) FUZZ_CHECK(v == lenient);
    char buf[64];
    (void)size_to_text_buf(lenient, 0, buf, sizeof buf);
    num_parse_result r;
    (void)str_parse_all_number(&r, text.c_str(), 10);
    (void)str_parse_all_number(&r, text.c_str(), 16);
    (void)version_compare(text.c_str(), "1.6.4");
}

// A key=value edit either succeeds or leaves the buffer as it was; a set
// value reads back.
void check_kv(fuzz::reader& in) {
    const uint8_t mode = static_cast<uint8_t>(in.byte() % 6);
    const size_t size = 1 + in.byte() * 4;
    const std::string sep_text = in.text();
    const std::string key = in.text();
    const std::string val = in.text();
    const std::string text = in.text();
    const char* sep = sep_text.empty() ? "&" : sep_text.c_str();
    char out[512];
    (void)str_kv_get(text.c_str(), sep, '=', key.c_str(), out, sizeof out);
    (void)str_kv_get_bracket(text.c_str(), key.c_str(), out, sizeof out);
    (void)str_kv_get_unquote(text.c_str(), sep, ':', key.c_str(), out, sizeof out);
    (void)str_kv_find_key(text.c_str(), sep, '=', val.c_str(), out, sizeof out);
    if (text.size() >= size) return;
    std::vector<char> buf(size, '\0'), before;
    memcpy(buf.data(), text.c_str(), text.size() + 1);
    before = buf;
    const int rc = str_kv_set(buf.data(), size, sep, mode, key.c_str(), val.c_str());
    if (rc != 0) {
        FUZZ_CHECK(buf == before);
        return;
    }
    FUZZ_CHECK(memchr(buf.data(), 0, size) != nullptr);
    constexpr const char* blanks = " \t\r\n\v\f";
    const bool plain = text.find_first_of(blanks) == std::string::npos && key.find_first_of(blanks) == std::string::npos &&
                       val.find_first_of(blanks) == std::string::npos;
    // (Separators are the caller's constants; a set holding "=" would cut
    // every field it writes.)
    if (mode == STR_KV_SET_ALWAYS && plain && !val.empty() && !strchr(sep, '=')) {
        FUZZ_CHECK(str_kv_get(buf.data(), sep, '=', key.c_str(), out, sizeof out) == 0);
        FUZZ_CHECK(val == out);
    }
}

void check_base64(fuzz::reader& in) {
    const std::string_view bytes = in.rest();
    if (bytes.size() > 4096) return;
    std::vector<char> enc(PL_BASE64_ENCODE_LEN(bytes.size()));
    std::vector<uint8_t> dec(bytes.size() + 3);
    for (int url_safe = 0; url_safe < 2; url_safe++) {
        const int n = str_base64_encode_imp(bytes.data(), bytes.size(), enc.data(), enc.size(), url_safe);
        FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) + 1 == enc.size());
        const int m = str_base64_decode(enc.data(), dec.data(), dec.size());
        FUZZ_CHECK(m == static_cast<int>(bytes.size()));
        FUZZ_CHECK(memcmp(dec.data(), bytes.data(), bytes.size()) == 0);
    }
    // Whatever the decoder accepts encodes and decodes to the same bytes.
    const std::string text(bytes.data(), strnlen(bytes.data(), bytes.size()));
    std::vector<uint8_t> raw(text.size() + 1);
    const int n = str_base64_decode(text.c_str(), raw.data(), raw.size());
    if (n < 0) return;
    FUZZ_CHECK(static_cast<size_t>(n) <= raw.size());
    std::vector<char> again(PL_BASE64_ENCODE_LEN(static_cast<size_t>(n)));
    FUZZ_CHECK(str_base64_encode(raw.data(), static_cast<size_t>(n), again.data(), again.size()) >= 0);
    std::vector<uint8_t> raw2(static_cast<size_t>(n) + 3);
    FUZZ_CHECK(str_base64_decode(again.data(), raw2.data(), raw2.size()) == n);
    FUZZ_CHECK(memcmp(raw.data(), raw2.data(), static_cast<size_t>(n)) == 0);
}

void check_percent(fuzz::reader& in) {
    const int cls = in.byte() % 6;
    const std::string_view rest = in.rest();
    const std::string text(rest.data(), strnlen(rest.data(), rest.size()));
    const size_t need = str_escape_imp(nullptr, text.data(), text.size(), cls);
    FUZZ_CHECK(need >= text.size() + 1);
    std::vector<char> enc(need);
    FUZZ_CHECK(str_escape_imp(enc.data(), text.data(), text.size(), cls) + 1 == need);
    FUZZ_CHECK(enc[need - 1] == 0);
    // Every class encodes "%" except the quote-only one, so the others decode back.
    if (cls != STR_ESCAPE_QUOTES) {
        std::vector<char> dec(need);
        FUZZ_CHECK(str_unescape_url_args(enc.data(), dec.data(), dec.size()) == 0);
        FUZZ_CHECK(text == dec.data());
    }
    // Decoding never grows the text, also in place.
    std::string work = text;
    FUZZ_CHECK(str_unescape_url_args(work.data(), work.data(), work.size() + 1) == 0);
    FUZZ_CHECK(strlen(work.c_str()) <= text.size());
    std::vector<char> uri(text.size() + 1);
    FUZZ_CHECK(str_unescape_uri(text.c_str(), uri.data(), uri.size()) == 0);
    if (char* c = str_unescape_cstr(text.c_str())) pl_free(c);
    char json[256];
    (void)str_escape_json(json, sizeof json, text.c_str());
}

void check_hex(fuzz::reader& in) {
    const std::string_view bytes = in.rest();
    if (bytes.size() > 4096) return;
    std::vector<char> enc(2 * bytes.size() + 1);
    FUZZ_CHECK(str_bin_encode_hex(bytes.data(), bytes.size(), enc.data(), enc.size()) ==
               static_cast<int64_t>(2 * bytes.size()));
    std::vector<uint8_t> dec(bytes.size() + 1);
    FUZZ_CHECK(str_hex_decode_bin(enc.data(), 0, dec.data(), dec.size()) == static_cast<int64_t>(bytes.size()));
    FUZZ_CHECK(memcmp(dec.data(), bytes.data(), bytes.size()) == 0);
    // Accepted texts decode to half their length and encode back (upper case).
    const std::string text(bytes.data(), strnlen(bytes.data(), bytes.size()));
    std::vector<uint8_t> raw(text.size() / 2 + 1);
    const int64_t n = str_hex_decode_bin(text.c_str(), 1, raw.data(), raw.size());
    if (n >= 0) {
        FUZZ_CHECK(static_cast<size_t>(n) * 2 == text.size());
        std::vector<char> again(text.size() + 1);
        FUZZ_CHECK(str_bin_encode_hex(raw.data(), static_cast<size_t>(n), again.data(), again.size()) == n * 2);
        for (size_t i = 0; i < text.size(); i++) FUZZ_CHECK(toupper(static_cast<unsigned char>(text[i])) == again[i]);
    }
    uint8_t* mb = nullptr;
    char* mask = nullptr;
    size_t mlen = 0;
    if (str_hex_mask_decode(text.c_str(), &mb, &mlen, &mask) >= 0) {
        pl_free(mb);
        pl_free(mask);
    }
    uint8_t small[16];
    (void)str_hex_sep_to_bin(text.c_str(), ":", small, sizeof small);
    if (text.size() >= 2) (void)str_hex_skip_sep_to_bin(text.c_str(), text.size(), raw.data(), raw.size());
}

// UTF-8 that converts to UTF-16 converts back to the same bytes.
void check_utf(fuzz::reader& in) {
    const std::string_view rest = in.rest();
    const std::string text(rest.data(), strnlen(rest.data(), rest.size()));
    std::vector<uint16_t> u16(text.size() + 2);
    if (!str_utf8_to_utf16(text.c_str(), u16.data(), u16.size() * 2)) return;
    std::vector<char> back(text.size() + 1);
    FUZZ_CHECK(str_utf16_to_utf8(u16.data(), back.data(), back.size()) != nullptr);
    FUZZ_CHECK(text == back.data());
    std::vector<uint8_t> raw(rest.begin(), rest.end());
    raw.push_back(0);
    raw.push_back(0);
    char out[512];
    (void)str_utf16_to_utf8_n(raw.data(), raw.size() / 2, out, sizeof out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    fuzz::reader in(data, size);
    switch (in.byte() % 8) {
    case 0: check_url(in); break;
    case 1: check_url_query(in); break;
    case 2: check_size(in); break;
    case 3: check_kv(in); break;
    case 4: check_base64(in); break;
    case 5: check_percent(in); break;
    case 6: check_hex(in); break;
    default: check_utf(in); break;
    }
    return 0;
}

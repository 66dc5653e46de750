// Ini files and the client configuration file.
//
// Input: section, key and value texts (each ended by a zero byte), then the
// file. Checks: a file that loads writes a text that loads back to the
// same entries and writes the same text again; an edit the configuration
// layer refuses leaves the text as it was; an accepted value reads back,
// also after a save and a new load; a saved session's URL names the
// session's own host, user and password.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "fuzz_check.h"
#include "libconf/ini/conf.h"
#include "libconf/ini/dictionary.h"
#include "libconf/ini/ini_conf.h"
#include "libconf/ini/iniparser.h"
#include "libkxcli/kx_conf.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_vector.h"
#include "libpal/string/text_buf.h"

namespace {

int quiet_printer(const char*, ...) { return 0; }

std::string text_of(const dictionary* d) {
    text_buf* t = text_buf_new();
    ini_write_text(d, t);
    std::string s(t->data, t->len);
    pl_free(text_buf_detach(t));
    return s;
}

bool same_text(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return std::string_view(a) == b;
}

// The same keys with the same values. (Their order may differ: keys after
// a "[]" line are written with the keys before the first section.)
bool same_entries(const dictionary* a, const dictionary* b) {
    if (a->n != b->n) return false;
    std::map<std::string, std::string> ea, eb;
    for (const dict_entry* x = a->head; x; x = x->next) ea[x->key] = x->value ? std::string("=") + x->value : "";
    for (const dict_entry* y = b->head; y; y = y->next) eb[y->key] = y->value ? std::string("=") + y->value : "";
    return ea == eb;
}

std::string dict_text(conf_ctx* h) { return text_of(static_cast<ini_conf_obj*>(h->obj)->dict); }

// The written text reads back to the same entries and is written the same.
void check_ini_round_trip(const std::string& path) {
    dictionary* d = iniparser_load(path.c_str());
    if (!d) return;
    const std::string first = text_of(d);
    // Written as a save writes it: the byte-order mark first (a text that
    // starts with one of its own, a key made of those bytes, keeps it).
    const std::string saved = "\xEF\xBB\xBF" + first;
    const std::string again_path = fuzz::scratch_dir() + "/again.ini";
    FUZZ_CHECK(fuzz::write_file(again_path, saved.data(), saved.size()));
    dictionary* d2 = iniparser_load(again_path.c_str());
    FUZZ_CHECK(d2 != nullptr);
    FUZZ_CHECK(same_entries(d, d2));
    FUZZ_CHECK(text_of(d2) == first);
    dictionary_free(d2);
    dictionary_free(d);
}

// Edits through the configuration layer: a refused edit changes nothing;
// an accepted value reads back, also after a save and a new load.
void check_conf_edits(const std::string& path, const std::string& sec, const std::string& key,
                      const std::string& val) {
    conf_ctx* h = conf_load(path.c_str());
    if (!h) return;
    const char* s = sec.c_str();
    const char* k = key.c_str();
    const char* v = val.c_str();
    std::string before = dict_text(h);

    if (conf_rename_key(h, s, k, v) != 0) FUZZ_CHECK(dict_text(h) == before);
    before = dict_text(h);
    if (conf_rename_section(h, s, v) != 0) FUZZ_CHECK(dict_text(h) == before);
    before = dict_text(h);
    if (conf_unset_key(h, v, k) != 0) FUZZ_CHECK(dict_text(h) == before);
    before = dict_text(h);
    if (conf_del_section(h, k) != 0) FUZZ_CHECK(dict_text(h) == before);
    before = dict_text(h);
    if (conf_set_string_path(h, k, v) != 0) FUZZ_CHECK(dict_text(h) == before);
    before = dict_text(h);

    const bool stored = conf_set_string(h, s, k, v) == 0;
    if (!stored) {
        FUZZ_CHECK(dict_text(h) == before);
    } else {
        FUZZ_CHECK(same_text(conf_get_string(h, s, k, nullptr), v));
    }
    const std::string saved = dict_text(h);
    const bool wrote = conf_save(h) == 0;
    conf_close(h);
    if (!wrote) return;
    h = conf_load(path.c_str());
    FUZZ_CHECK(h != nullptr);
    FUZZ_CHECK(dict_text(h) == saved);
    if (stored) FUZZ_CHECK(same_text(conf_get_string(h, s, k, nullptr), v));
    conf_close(h);
}

std::string unescaped(const char* text) {
    std::string buf(strlen(text) + 1, '\0');
    FUZZ_CHECK(str_unescape_url_args(text, buf.data(), buf.size()) == 0);
    return std::string(buf.c_str());
}

// Every saved session of the client file: a kxp session's URL names its own
// host, user and password.
void check_sessions(const std::string& client_path) {
    conf_ctx* h = conf_load(client_path.c_str());
    if (!h) return;
    str_vector* secs = conf_get_sections(h);
    conf_close(h);
    if (!secs) return;
    for (size_t i = 0; i < secs->count && i < 8; i++) {
        std::string_view sec = secs->items[i];
        if (sec.substr(0, 8) != "session/") continue;
        const std::string name(sec.substr(8));
        conf_client_info info{};
        if (conf_client_get_info(name.c_str(), &info) != 0) continue;
        char url[KX_URL_SIZE];
        if (conf_client_info_2_url(&info, url, sizeof url) != 0 || info.kind != KX_SESSION_KXP) continue;
        url_ctx u{};
        static char buffer[URL_SIZE];
        FUZZ_CHECK(url_parser(&u, buffer, url) == 0);
        std::string host = info.ip;
        for (char& c : host)
            if (c == '_') c = ':';
        FUZZ_CHECK(host == u.host);
        FUZZ_CHECK(unescaped(u.user) == info.user);
        if (info.user[0]) FUZZ_CHECK(unescaped(u.passwd) == info.pwd);
        // The alias of a session whose name an alias can carry (no "/" or
        // backslash, which split it, and no blanks, which are trimmed).
        bool plain_name = !name.empty();
        for (char ch : name)
            if (!isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_' && ch != '.') plain_name = false;
        char real[KX_URL_SIZE];
        const std::string alias = "///" + name + "/dir/file";
        if (plain_name && url_conf_2_real(alias.c_str(), real) == 0) {
            url_ctx r{};
            static char rbuf[URL_SIZE];
            FUZZ_CHECK(url_parser(&r, rbuf, real) == 0);
            FUZZ_CHECK(host == r.host);
        }
    }
    str_vector_free(secs);
    (void)kx_conf_get_int("connect_timeout");
    char url[KX_URL_SIZE] = "kxp://host/img?read_timeout=3";
    (void)kx_conf_url_add_timeout(url);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    ini_set_error_hook(quiet_printer);
    unsetenv("KX_ENV_CONF_DIR");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    static const bool ready = [] {
        fuzz::quiet_logs();
        ini_set_error_hook(quiet_printer);
        unsetenv("KX_ENV_CONF_DIR");
        return kx_conf_set_path(fuzz::scratch_dir().c_str()) == 0;
    }();
    FUZZ_CHECK(ready);
    fuzz::reader in(data, size);
    const std::string sec = in.text();
    const std::string key = in.text();
    const std::string val = in.text();
    const std::string_view body = in.rest();

    const std::string path = fuzz::scratch_dir() + "/fuzz.ini";
    FUZZ_CHECK(fuzz::write_file(path, body.data(), body.size()));
    check_ini_round_trip(path);
    check_conf_edits(path, sec, key, val);

    const std::string client = kx_conf_client_path();
    FUZZ_CHECK(fuzz::write_file(client, body.data(), body.size()));
    check_sessions(client);
    return 0;
}

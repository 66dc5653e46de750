#include "libconf/ini/iniparser.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "libconf/ini/dictionary.h"
#include "libpal/os/os_fopen.h"
#include "libpal/string/text_buf.h"
#include "libpal/string/str_util.h"
#include "liblog/log2.h"

namespace {

int print_stderr(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int print_stderr(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(stderr, fmt, ap);
    va_end(ap);
    return n;
}

std::atomic<ini_error_fn> g_error{print_stderr};

constexpr std::string_view k_bom = "\xEF\xBB\xBF";


// The value of a key line's text after "=" (already stripped at the end).
std::string_view line_value(std::string_view rest) {
    rest = str_lstrip(rest);
    if (!rest.empty() && (rest[0] == '"' || rest[0] == '\'')) {
        char q = rest[0];
        // The whole rest between quotes: the quotes inside belong to the value.
        if (rest.size() >= 2 && rest.back() == q) return rest.substr(1, rest.size() - 2);
        size_t end = rest.find(q, 1);
        return rest.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1);
    }
    return str_strip(rest.substr(0, rest.find_first_of(";#")));
}

// Reads the whole stream. False on a read error.
bool read_all(FILE* in, std::string& data) {
    char buf[65536];
    for (;;) {
        size_t n = fread(buf, 1, sizeof buf, in);
        data.append(buf, n);
        if (n < sizeof buf) return !ferror(in);
    }
}

struct parser {
    dictionary* d;
    const char* path;
    std::string comment;  // lines collected for the next entry
    std::string section;  // current section; empty before the first
    int errors = 0;
    bool mem_error = false;

    // Stores an entry with the collected comment; the comment stays
    // collected when the entry already existed (it goes to the next one).
    void put(const std::string& key, const char* value) {
        int r = dictionary_put(d, key.c_str(), value, comment.empty() ? nullptr : comment.c_str());
        if (r < 0) mem_error = true;
        else if (r == 0) comment.clear();
    }

    void syntax_error(int lineno, std::string_view line) {
        LOG2(LOG2_ERR, "conf", "iniparser: syntax error in %s (%d):\n-> %.*s\n", path, lineno,
             static_cast<int>(line.size()), line.data());
        errors++;
    }

    // One line, continuation lines joined and trailing blanks removed.
    void line(int lineno, std::string_view line) {
        std::string_view s = str_lstrip(line);
        if (s.empty()) {
            comment += '\n';
        } else if (s[0] == '#' || s[0] == ';') {
            comment.append(line);
            comment += '\n';
        } else if (s.front() == '[' && s.back() == ']') {
            std::string_view name = str_strip(s.substr(1, s.find(']') - 1));
            if (name.find('\t') != std::string_view::npos) return syntax_error(lineno, line);
            section.assign(name);
            // "[]" goes back to the keys without a section.
            if (!section.empty()) put(section, nullptr);
        } else {
            size_t eq = s.find('=');
            if (eq == std::string_view::npos) return syntax_error(lineno, line);
            std::string_view key = str_strip(s.substr(0, eq));
            if (key.empty()) return syntax_error(lineno, line);
            std::string full = section;
            full += '\t';
            full.append(key);
            put(full, std::string(line_value(s.substr(eq + 1))).c_str());
        }
    }
};

}  // namespace

void ini_set_error_hook(ini_error_fn fn) { g_error = fn ? fn : print_stderr; }

dictionary* iniparser_load(const char* path) {
    FILE* in = os_fopen(path, "r");
    if (!in) {
        g_error.load()("iniparser: cannot open %s\n", path ? path : "");
        return nullptr;
    }
    dictionary* d = iniparser_load_file(in, path);
    fclose(in);
    return d;
}

dictionary* iniparser_load_file(FILE* in, const char* path) {
    if (!in) return nullptr;
    if (!path) path = "";
    std::string data;
    if (!read_all(in, data)) {
        int e = errno;
        g_error.load()("iniparser: cannot read %s: %s\n", path, strerror(e));
        return nullptr;
    }
    dictionary* d = dictionary_create();
    if (!d) {
        LOG2(LOG2_ERR, "conf", "iniparser: memory allocation failure\n");
        return nullptr;
    }
    parser p{d, path, {}, {}};
    std::string_view rest = data;
    if (rest.substr(0, k_bom.size()) == k_bom) rest.remove_prefix(k_bom.size());
    std::string joined;  // a line continued by a trailing backslash
    int lineno = 0;
    while (!rest.empty() && !p.mem_error) {
        size_t nl = rest.find('\n');
        std::string_view raw = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        // A line is a text: a zero byte ends it. (Kept, the bytes after it
        // would make keys and values that no saved file can hold.)
        raw = raw.substr(0, raw.find('\0'));
        lineno++;
        joined.append(raw);
        std::string_view line = str_rstrip(joined);
        if (!line.empty() && line.back() == '\\' && !rest.empty()) {
            LOG2(LOG2_DBG, "conf", "null_line_3\n");
            joined.resize(line.size() - 1);
            continue;
        }
        p.line(lineno, line);
        joined.clear();
    }
    if (p.mem_error) LOG2(LOG2_ERR, "conf", "iniparser: memory allocation failure\n");
    if (p.errors || p.mem_error ||
        dictionary_set_tail_comment(d, p.comment.empty() ? nullptr : p.comment.c_str()) != 0) {
        dictionary_free(d);
        return nullptr;
    }
    return d;
}

int ini_value_needs_quotes(const char* value) {
    if (!value || !*value) return 0;
    size_t n = strlen(value);
    return strpbrk(value, ";#") || str_is_space(value[0]) || str_is_space(value[n - 1]) || value[0] == '"' ||
           value[0] == '\'' || value[n - 1] == '\\';
}

namespace {

void write_key(const dict_entry* e, text_buf* out) {
    if (e->comment) text_buf_add_str(out, e->comment);
    const char* key = e->key + dictionary_section_len(e->key) + 1;
    const char* value = e->value ? e->value : "";
    // A key starting with "[" and a value ending with "]" would make a line
    // that reads back as a section: the quotes keep it a key line.
    const size_t n = strlen(value);
    const bool looks_like_section = key[0] == '[' && n > 0 && value[n - 1] == ']';
    if (looks_like_section || ini_value_needs_quotes(value)) text_buf_printf(out, "%s=\"%s\"\n", key, value);
    else text_buf_printf(out, "%s=%s\n", key, value);
}

}  // namespace

void ini_write_text(const dictionary* d, text_buf* out) {
    if (!d || !out) return;
    // The sections in storage order, each with its keys in storage order.
    struct section_keys {
        const dict_entry* entry;
        std::vector<const dict_entry*> keys;
    };
    std::vector<section_keys> sections;
    std::unordered_map<std::string_view, size_t> by_name;
    for (const dict_entry* e = d->head; e; e = e->next) {
        if (e->key[dictionary_section_len(e->key)] == 0) {
            by_name.emplace(e->key, sections.size());
            sections.push_back({e, {}});
        }
    }
    for (const dict_entry* e = d->head; e; e = e->next) {
        size_t len = dictionary_section_len(e->key);
        if (e->key[len] == 0) continue;
        if (len == 0) {
            write_key(e, out);  // keys before any section come first
            continue;
        }
        auto it = by_name.find(std::string_view(e->key, len));
        if (it != by_name.end()) sections[it->second].keys.push_back(e);
    }
    bool first = true;
    for (const section_keys& s : sections) {
        if (s.entry->comment) text_buf_add_str(out, s.entry->comment);
        else if (!first) text_buf_add_chr(out, '\n');
        first = false;
        text_buf_printf(out, "[%s]\n", s.entry->key);
        for (const dict_entry* k : s.keys) write_key(k, out);
    }
    if (d->tail_comment) text_buf_add_str(out, d->tail_comment);
    else if (!sections.empty()) text_buf_add_chr(out, '\n');
}

namespace {

const char* lookup(const dictionary* d, const char* section, const char* key) {
    if (!d || !section || !key) return nullptr;
    std::string full = section;
    full += '\t';
    full += key;
    return dictionary_lookup(d, full.c_str(), nullptr);
}

}  // namespace

long ini_get_long(const dictionary* d, const char* section, const char* key, long def) {
    const char* v = lookup(d, section, key);
    return v ? strtol(v, nullptr, 0) : def;
}

int32_t ini_get_i32(const dictionary* d, const char* section, const char* key, int32_t def) {
    const char* v = lookup(d, section, key);
    if (!v) return def;
    long long n = strtoll(v, nullptr, 0);
    return static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n);
}

double ini_get_double(const dictionary* d, const char* section, const char* key, double def) {
    const char* v = lookup(d, section, key);
    return v ? strtod(v, nullptr) : def;
}

int ini_get_bool(const dictionary* d, const char* section, const char* key, int def) {
    const char* v = lookup(d, section, key);
    if (!v) return def;
    if (strchr("1yYtT", v[0]) && v[0]) return 1;
    if (strchr("0nNfF", v[0]) && v[0]) return 0;
    return def;
}

void ini_print_entries(const dictionary* d, FILE* out) {
    if (!d || !out) return;
    for (const dict_entry* e = d->head; e; e = e->next) {
        if (e->value) fprintf(out, "[%s]=[%s]\n", e->key, e->value);
        else fprintf(out, "[%s]=UNDEF\n", e->key);
    }
}

ini_error_fn ini_get_error_hook() { return g_error.load(); }

#include "libpal/string/str_argv.h"

#include <cstring>
#include <string>
#include <vector>

#include "libpal/string/str_safe.h"

namespace {

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string program_word(const char*& p) {
    std::string w;
    bool quoted = false;
    for (; *p && (quoted || !is_blank(*p)); ++p) {
        if (*p == '"')
            quoted = !quoted;
        else
            w += *p;
    }
    return w;
}

std::string argument_word(const char*& p) {
    std::string w;
    bool quoted = false;
    while (*p && (quoted || !is_blank(*p))) {
        if (*p == '\\') {
            size_t n = strspn(p, "\\");
            if (p[n] != '"') {
                w.append(n, '\\');
                p += n;
                continue;
            }
            w.append(n / 2, '\\');
            p += n;
            if (n % 2) {
                w += '"';
                ++p;
            }
            continue;  // an even run leaves the quote to toggle
        }
        if (*p == '"') {
            if (quoted && p[1] == '"') {
                w += '"';
                p += 2;
            } else {
                quoted = !quoted;
                ++p;
            }
            continue;
        }
        w += *p++;
    }
    return w;
}

std::vector<std::string> split_words(const char* p) {
    std::vector<std::string> words;
    while (is_blank(*p)) ++p;
    if (!*p) return words;
    words.push_back(program_word(p));
    for (;;) {
        while (is_blank(*p)) ++p;
        if (!*p) return words;
        words.push_back(argument_word(p));
    }
}

}  // namespace

int argv_split(const char* line, char** argv, char* buf, size_t* argc, size_t* nchars) {
    if (!line) return -1;
    std::vector<std::string> words = split_words(line);
    size_t slots = words.size() + 1, chars = 0;
    for (const auto& w : words) chars += w.size() + 1;
    if ((argv && (!argc || *argc < slots)) || (buf && (!nchars || *nchars < chars)) || (argv && !buf && chars))
        return -1;
    if (argv) {
        char* at = buf;
        for (size_t i = 0; i < words.size(); ++i) {
            memcpy(at, words[i].c_str(), words[i].size() + 1);
            argv[i] = at;
            at += words[i].size() + 1;
        }
        argv[words.size()] = nullptr;
    }
    if (argc) *argc = slots;
    if (nchars) *nchars = chars;
    return 0;
}

int argv_join(size_t count, const char* const* args, char* out, size_t size) {
    if (!out || size == 0) return -1;
    out[0] = 0;
    if (!args) return 0;
    for (size_t i = 0; i < count; ++i) {
        if (!args[i]) continue;
        char arg[4096];
        (void)str_safecopy(arg, args[i]);
        strcat_printf(out, size, strchr(arg, ' ') ? "\"%s\" " : "%s ", arg);
    }
    return 0;
}

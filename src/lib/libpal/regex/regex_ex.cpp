#include "libpal/regex/regex_ex.h"

#include <regex.h>

#include <cstring>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

// A compiled expression, freed with its owner.
struct compiled_re {
    regex_t re;
    int status;
    compiled_re(const char* pattern, int flags) : status(regcomp(&re, pattern, flags)) {}
    ~compiled_re() {
        if (status == 0) regfree(&re);
    }
    compiled_re(const compiled_re&) = delete;
    compiled_re& operator=(const compiled_re&) = delete;
    std::string error(int code) const {
        char text[256];
        regerror(code, &re, text, sizeof text);
        return text;
    }
};

bool is_literal(const char* pattern) { return strpbrk(pattern, "\\^$.[]|()*+?{}") == nullptr; }

}  // namespace

int regmatch_imp(const char* pattern, const char* text, int icase) {
    if (!pattern || !text) return 0;
    compiled_re c(pattern, REG_EXTENDED | REG_NOSUB | (icase ? REG_ICASE : 0));
    if (c.status != 0) {
        LOG2(LOG2_ERR, "pal", "regcomp: %s\n", c.error(c.status).c_str());
        return 0;
    }
    return regexec(&c.re, text, 0, nullptr, 0) == 0 ? 1 : 0;
}

int regmatch(const char* text, const char* pattern) { return regmatch_imp(pattern, text, 0); }

int regmatch_icase(const char* text, const char* pattern) { return regmatch_imp(pattern, text, 1); }

char* cns_reg(const char* text, const char* pattern, const char* replacement) {
    if (!text || !pattern || !replacement) return nullptr;
    if (strcmp(pattern, replacement) == 0 && is_literal(pattern)) return safe_strdup(text);
    compiled_re c(pattern, REG_EXTENDED);
    if (c.status != 0) {
        LOG2(LOG2_ERR, "pal", "%s: regex '%s'\n", c.error(c.status).c_str(), pattern);
        return nullptr;
    }
    const size_t len = strlen(text);
    std::string out;
    size_t pos = 0;            // where the search goes on
    size_t last_end = SIZE_MAX; // end of the previous match
    bool replaced = false;
    while (pos <= len) {
        // The whole text stays visible, so "^" and word boundaries see what
        // lies before the search position.
        regmatch_t m[10];
        m[0].rm_so = static_cast<regoff_t>(pos);
        m[0].rm_eo = static_cast<regoff_t>(len);
        int r = regexec(&c.re, text, 10, m, REG_STARTEND);
        if (r == REG_NOMATCH) break;
        if (r != 0) {
            LOG2(LOG2_ERR, "pal", "%s: regcomp('%s')\n", c.error(r).c_str(), text + pos);
            return nullptr;
        }
        auto so = static_cast<size_t>(m[0].rm_so), eo = static_cast<size_t>(m[0].rm_eo);
        if (so == eo && so == last_end) {
            // An empty match right after the previous match does not count.
            out.append(text + pos, so - pos);
            if (so >= len) {
                pos = len + 1;
                break;
            }
            out += text[so];
            pos = so + 1;
            continue;
        }
        out.append(text + pos, so - pos);
        out += replacement;
        replaced = true;
        last_end = eo;
        if (so == eo) {
            // An empty match: the next search starts one character further.
            if (eo >= len) {
                pos = len + 1;
                break;
            }
            out += text[eo];
            pos = eo + 1;
        } else {
            pos = eo;
        }
    }
    if (!replaced) return nullptr;
    if (pos < len) out.append(text + pos);
    return pl_strndup(out.data(), out.size());
}

// Rule texts and regular expressions.
//
// Input: one selector byte, then a rule text, or a pattern, a replacement
// and a subject text (each ended by a zero byte). Inputs are bounded so a
// run stays fast: rule texts of at most 1 KiB, patterns of at most 48 bytes,
// and no repetition count above 99 (a count nests into a large automaton).
// Checks: the normal form of a text checks clean and is its own normal
// form; a text that does not load leaves the rule set as it was; a dump of
// a loaded set loads to the same dump and the same decisions; a replacement
// happens only where the pattern matches.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/regex/regex_ex.h"

namespace {

// A repetition count of three digits or more, more than four repetition
// operators or two in a row (each one copies the tree of what it repeats,
// so they multiply), or an include command (which would read a file named
// by the input).
bool too_costly(const std::string& text) {
    int digits = 0;
    bool in_brace = false;
    int repeats = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        if (c == '+' || c == '*' || c == '?' || c == '{') {
            if (++repeats > 4) return true;
            if (i > 0 && strchr("+*?}", text[i - 1])) return true;
        }
        if (c == '{') in_brace = true, digits = 0;
        else if (c == '}') in_brace = false;
        else if (in_brace && isdigit(static_cast<unsigned char>(c)) && ++digits > 2) return true;
        else if (in_brace && !isdigit(static_cast<unsigned char>(c))) digits = 0;
    }
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower.find("include") != std::string::npos;
}

struct pl_text {
    char* p;
    explicit pl_text(char* q) : p(q) {}
    ~pl_text() { pl_free(p); }
    pl_text(const pl_text&) = delete;
    pl_text& operator=(const pl_text&) = delete;
    std::string str() const { return p ? p : ""; }
};

struct rule_set {
    qexpr_ctx* h = qexpr_new(nullptr);
    ~rule_set() { qexpr_free(h); }
    rule_set() = default;
    rule_set(const rule_set&) = delete;
    rule_set& operator=(const rule_set&) = delete;
    std::string dump() const { return pl_text(qexpr_dump_rules_str(h)).str(); }
};

// One record: a few typed values and texts the rules may name.
struct record {
    uint32_t level;
    const char* tag;
    const char* msg;
};

int get_var(const char* name, qexpr_value* out, void* arg) {
    const auto* r = static_cast<const record*>(arg);
    if (strcmp(name, "level") == 0) {
        qexpr_value_set_int(out, QEXPR_TYPE_U32, r->level);
    } else if (strcmp(name, "size") == 0) {
        qexpr_value_set_int(out, QEXPR_TYPE_U64, 0x1234567890ull);
    } else if (strcmp(name, "tag") == 0) {
        qexpr_value_set_str(out, r->tag);
    } else if (strcmp(name, "msg") == 0) {
        qexpr_value_set_str(out, r->msg);
    } else {
        return -1;
    }
    return 0;
}

void check_rules(const std::string& text) {
    if (text.size() > 1024 || too_costly(text)) return;
    char err[QEXPR_ERR_SIZE];
    const int checked = qexpr_check_text(text.c_str(), err);
    pl_text formatted(qexpr_format_text(text.c_str(), err));
    FUZZ_CHECK((checked == 0) == (formatted.p != nullptr));
    if (formatted.p) {
        if (getenv("KXDD_FUZZ_TRACE")) fprintf(stderr, "formatted [%s]\n", formatted.p);
        const int again_checked = qexpr_check_text(formatted.p, err);
        if (getenv("KXDD_FUZZ_TRACE")) fprintf(stderr, "check of the normal form: %d [%s]\n", again_checked, err);
        // (Escapes lengthen a value: one of up to 255 characters may be
        // written with more, which the parser's limit then refuses.)
        if (again_checked != 0 && strstr(err, "value longer than")) return;
        FUZZ_CHECK(again_checked == 0);
        pl_text again(qexpr_format_text(formatted.p, err));
        FUZZ_CHECK(again.p != nullptr);
        FUZZ_CHECK(again.str() == formatted.str());
    }

    rule_set a;
    FUZZ_CHECK(a.h != nullptr);
    FUZZ_CHECK(qexpr_load_rules(a.h, "level <= 3; !tag find net", err) == 0);
    const std::string base = a.dump();
    if (qexpr_load_rules(a.h, text.c_str(), err) < 0) {
        FUZZ_CHECK(a.dump() == base);
        return;
    }
    // A value holding both "'" and "$" (which only an expansion can make)
    // has no written form: single quotes cannot hold the "'" and double
    // quotes would expand the "$" again.
    int unwritable = 0;
    qexpr_walk(
        a.h,
        [](int, int, const char*, int, const char* value, int, void* arg) {
            if (strchr(value, '\'') && strchr(value, '$')) *static_cast<int*>(arg) = 1;
            return 0;
        },
        &unwritable);
    if (unwritable) return;
    const std::string dumped = a.dump();
    rule_set b;
    FUZZ_CHECK(b.h != nullptr);
    FUZZ_CHECK(qexpr_load_rules(b.h, dumped.c_str(), err) == 0);
    if (getenv("KXDD_FUZZ_TRACE")) fprintf(stderr, "dump [%s]\nagain [%s]\n", dumped.c_str(), b.dump().c_str());
    FUZZ_CHECK(b.dump() == dumped);
    FUZZ_CHECK(qexpr_rules_crc(a.h) == qexpr_rules_crc(b.h));
    static const record recs[] = {
        {3, "disk", "read error at 4096"},
        {7, "net", "connect timed out"},
        {0, "", ""},
    };
    for (const record& r : recs) {
        FUZZ_CHECK(qexpr_filter_drop(a.h, get_var, const_cast<record*>(&r)) ==
                   qexpr_filter_drop(b.h, get_var, const_cast<record*>(&r)));
    }
}

void check_regex(fuzz::reader& in) {
    const std::string pattern = in.text();
    const std::string replacement = in.text();
    const std::string subject = in.text();
    if (pattern.size() > 48 || subject.size() > 256 || replacement.size() > 64 || too_costly(pattern)) return;
    const int hit = regmatch(subject.c_str(), pattern.c_str());
    (void)regmatch_icase(subject.c_str(), pattern.c_str());
    pl_text out(cns_reg(subject.c_str(), pattern.c_str(), replacement.c_str()));
    // Something was replaced only where the pattern matches (a literal
    // pattern equal to its replacement copies the text whatever it holds).
    if (out.p && pattern != replacement) FUZZ_CHECK(hit == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048) return 0;
    fuzz::reader in(data, size);
    if (in.byte() & 1) {
        check_regex(in);
    } else {
        check_rules(in.text());
    }
    return 0;
}

// Shared pieces of the rule-set tests: a log-record stand-in whose fields
// the getter hands out by name, and small wrappers that turn the C-style
// results into strings.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/qexpr/qexpr.h"

namespace qexpr_test {

// The fields of a log record, by the names its format gives them
// ("sec-u64,usec-u32,pid-u32,tid-u32,level-u8,tag|tid_name|file|line|func|msg-str").
struct log_rec {
    uint64_t sec = 1700000000;
    uint32_t usec = 250;
    uint32_t pid = 4242;
    uint32_t tid = 7;
    uint8_t level = 6;
    std::string tag = "dd";
    std::string tid_name = "main";
    std::string file = "src/dd.cpp";
    std::string line = "42";
    std::string func = "dd_work";
    std::string msg = "copy started";
};

// Getter over a log_rec; a name the record does not have gives -1.
inline int rec_get(const char* name, qexpr_value* out, void* arg) {
    const auto* r = static_cast<const log_rec*>(arg);
    struct int_field {
        const char* name;
        uint32_t type;
        uint64_t value;
    };
    const int_field ints[] = {
        {"sec", QEXPR_TYPE_U64, r->sec},  {"usec", QEXPR_TYPE_U32, r->usec}, {"pid", QEXPR_TYPE_U32, r->pid},
        {"tid", QEXPR_TYPE_U32, r->tid},  {"level", QEXPR_TYPE_U8, r->level},
    };
    for (const auto& f : ints) {
        if (strcmp(name, f.name) == 0) {
            qexpr_value_set_int(out, f.type, f.value);
            return 0;
        }
    }
    struct str_field {
        const char* name;
        const std::string* value;
    };
    const str_field strs[] = {{"tag", &r->tag},   {"tid_name", &r->tid_name}, {"file", &r->file},
                              {"line", &r->line}, {"func", &r->func},         {"msg", &r->msg}};
    for (const auto& f : strs) {
        if (strcmp(name, f.name) == 0) {
            qexpr_value_set_str(out, f.value->c_str());
            return 0;
        }
    }
    return -1;
}

inline log_rec rec_tl(const char* tag, uint8_t level) {
    log_rec r;
    r.tag = tag;
    r.level = level;
    return r;
}

// A rule set freed at scope end.
struct rule_set {
    qexpr_ctx* h;
    explicit rule_set(qexpr_vars* vars = nullptr) : h(qexpr_new(vars)) {}
    ~rule_set() { qexpr_free(h); }
    rule_set(const rule_set&) = delete;
    rule_set& operator=(const rule_set&) = delete;

    // Loads the text: "" on success, else the error text (never empty).
    std::string load(const std::string& text) {
        char err[QEXPR_ERR_SIZE] = "";
        int r = qexpr_load_rules(h, text.c_str(), err);
        return r == 0 ? std::string() : (err[0] ? std::string(err) : std::string("<no text>"));
    }
    int drop(const log_rec& r) { return qexpr_filter_drop(h, rec_get, const_cast<log_rec*>(&r)); }
    std::string dump() {
        char* t = qexpr_dump_rules_str(h);
        std::string s = t ? t : "";
        pl_free(t);
        return s;
    }
};

// Result of a syntax check: "" when the text is valid, else the error text.
inline std::string check(const std::string& text) {
    char err[QEXPR_ERR_SIZE] = "";
    int r = qexpr_check_text(text.c_str(), err);
    return r == 0 ? std::string() : std::string(err);
}

inline std::string take(char* text) {
    std::string s = text ? text : "<none>";
    pl_free(text);
    return s;
}

}  // namespace qexpr_test

// Text forms of rule sets: dumps, their CRC, syntax checks and the normal
// form of a rule text.
#include <cstring>
#include <string>

#include "libpal/basic/pl_assert.h"
#include "libpal/hash/crc.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_thread.h"
#include "libpal/qexpr/qexpr_priv.h"

namespace {

// A double-quoted value as the parser reads it back: backslashes and line
// breaks escaped, and a double quote (which would end the value) written as
// its three-digit octal escape, so that digits after it stay digits.
void put_dquoted(std::string& out, const char* value) {
    out += '"';
    for (const char* p = value; *p; p++) {
        switch (*p) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\042"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += *p; break;
        }
    }
    out += '"';
}

void put_squoted(std::string& out, const char* value) {
    out += '\'';
    out += value;
    out += '\'';
}

bool has_blank(const char* v) { return strpbrk(v, " \t") != nullptr; }

// A bare value would not read back as itself: it would be empty, end
// early, or start a quoted value.
bool unsafe_bare(const char* v) {
    return v[0] == '\0' || v[0] == '"' || v[0] == '\'' || strpbrk(v, ";#\r\n") != nullptr;
}

// Single quotes keep a value as written (no escapes, no "$" expansion);
// they cannot hold a "'" and drop blanks right after the opening quote.
bool single_quotable(const char* v) { return v[0] != '\0' && v[0] != ' ' && v[0] != '\t' && !strchr(v, '\''); }

enum class quote_style {
    bare_or_double,  // rules: bare, double quotes when needed
    bare_or_single,  // commands in dumps: bare, single quotes when needed
    always_double,   // commands in the normal form
};

// Writes a value so that the parser reads it back unchanged. keep_dollar:
// a "$" in it must not be expanded when read back.
void put_value(std::string& out, const char* v, bool keep_dollar, quote_style style) {
    const bool dollar = keep_dollar && strchr(v, '$') != nullptr;
    const bool must_quote = has_blank(v) || unsafe_bare(v) || dollar;
    if (style != quote_style::always_double && !must_quote) {
        out += v;
        return;
    }
    const bool double_ok = strchr(v, '"') == nullptr;
    const bool want_single = style == quote_style::bare_or_single || dollar || !double_ok;
    if (want_single && single_quotable(v)) {
        put_squoted(out, v);
    } else {
        put_dquoted(out, v);
    }
}

void put_line_end(std::string& out) { out += '\n'; }

void dump_list(std::string& out, const mem_ptr_ctx* list) {
    for (uint64_t i = 0; i < mem_ptr_count(list); i++) {
        const qexpr_rule* r = qexpr_rule_at(list, i);
        qexpr_rule_line(out, r->used, r->var, r->opcode, r->value, r->kind, false, false);
    }
}

char* dump_imp(qexpr_ctx* h, bool with_include) {
    if (!PL_CHECK_TEXT("pal", h != nullptr, "h!=NULL")) return nullptr;
    std::string out;
    {
        os_mutex_guard lock(h->mutex);
        out += "# rule_mode=";
        out += h->rule_mode == QEXPR_MODE_AND ? "and" : "or";
        out += "\n#main----------------------\n";
        dump_list(out, &h->main_rules);
        if (with_include && mem_ptr_count(&h->include_rules) > 0) {
            out += "#include-------------------\n";
            dump_list(out, &h->include_rules);
        }
        out += "#end-----------------------\n";
    }
    return pl_strdup(out.c_str());
}

int format_cb(void* arg, int used, const char* var, int opcode, const char* value, int expand, int kind) {
    qexpr_rule_line(*static_cast<std::string*>(arg), used, var, opcode, value, kind, true, expand != 0);
    return 0;
}

}  // namespace

void qexpr_rule_line(std::string& out, int used, const char* var, int opcode, const char* value, int kind,
                     bool always_quote_cmd, bool may_expand) {
    if (!used) out += "~ ";
    if (kind == QEXPR_KIND_CMD) {
        out += "@ ";
        out += var;
        out += ' ';
        put_value(out, value, false, always_quote_cmd ? quote_style::always_double : quote_style::bare_or_single);
        put_line_end(out);
        return;
    }
    if (kind == QEXPR_KIND_NOT) out += '!';
    out += ' ';
    out += var;
    out += ' ';
    const char* op = qexpr_op_text(opcode);
    out += op ? op : "?";
    out += ' ';
    put_value(out, value, !may_expand, quote_style::bare_or_double);
    put_line_end(out);
}

char* qexpr_dump_main_rules(qexpr_ctx* h) { return dump_imp(h, false); }

char* qexpr_dump_rules_str(qexpr_ctx* h) { return dump_imp(h, true); }

uint64_t qexpr_rules_crc(qexpr_ctx* h) {
    char* text = qexpr_dump_rules_str(h);
    if (!text) return 0;
    const uint64_t crc = hash_crc64(text, strlen(text), 0);
    pl_free(text);
    return crc;
}

int qexpr_check_text(const char* text, char* err) { return qexpr_parse(text, err, nullptr, nullptr); }

int qexpr_check_file(const char* path, char* err) {
    char* text = path ? os_file_read_text(path) : nullptr;
    if (!text) {
        qexpr_set_err(err, "file open failed");
        return -1;
    }
    const int r = qexpr_check_text(text, err);
    pl_free(text);
    return r;
}

char* qexpr_format_text(const char* text, char* err) {
    std::string out;
    if (qexpr_parse(text, err, format_cb, &out) != 0) return nullptr;
    return pl_strdup(out.c_str());
}

char* qexpr_format_file(const char* path, char* err) {
    char* text = path ? os_file_read_text(path) : nullptr;
    if (!text) {
        qexpr_set_err(err, "file open failed");
        return nullptr;
    }
    char* out = qexpr_format_text(text, err);
    pl_free(text);
    return out;
}

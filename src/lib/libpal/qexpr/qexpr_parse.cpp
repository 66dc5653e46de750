// The rule-text parser: one pass over the characters through a small state
// machine; errors name the line and column.
#include <cstring>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/qexpr/qexpr_priv.h"
#include "libpal/string/str_escape.h"
#include "liblog/log2.h"

namespace {

// Parser states; their numbers appear in the "Incomplete expression" error.
enum parse_mode : int {
    M_IDLE = 0,      // between statements
    M_MARK = 1,      // after "!" or "@"
    M_COMMENT = 2,   // in a "#" comment
    M_QCOMMENT = 3,  // in a "'" comment
    M_TILDE = 4,     // after "~"
    M_NAME = 5,
    M_PRE_OP = 6,
    M_OP = 7,
    M_PRE_VALUE = 8,
    M_VALUE = 9,
    M_POST_VALUE = 10,
};

enum quote_kind : int {
    Q_BARE = 0,
    Q_SINGLE = 1,
    Q_DOUBLE = 2,
};

bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }
bool is_name_start(unsigned char c) { return is_letter(c) || c == '_'; }
bool is_name_char(unsigned char c) {
    return is_letter(c) || is_digit(c) || c == '.' || c == '@' || c == '_' || c == '-';
}
bool is_op_char(unsigned char c) { return c == '!' || c == '<' || c == '=' || c == '>'; }

struct parser {
    parser(char* e, qexpr_add_fn fn, void* a) : err(e), add(fn), arg(a) {}

    char* err;
    qexpr_add_fn add;
    void* arg;
    int line = 1;
    int col = 0;
    int mode = M_IDLE;
    // The statement being read.
    int used = 1;
    int kind = QEXPR_KIND_PLAIN;
    int quote = Q_BARE;
    bool skip_lead = false;  // blanks right after an opening "'" are dropped
    char op_first = 0;
    std::string name;
    std::string op;
    std::string value;

    int fail_at(unsigned char c, const char* what) {
        qexpr_set_err(err, "%d:%d [%c-0x%2x] %s", line, col, c, c, what);
        return -1;
    }

    // Appends c to a part of the statement unless it would pass the limit.
    int append(std::string& part, unsigned char c, size_t limit, const char* what) {
        if (part.size() >= limit) {
            qexpr_set_err(err, "%d:%d error: %s longer than %zu characters", line, col, what, limit);
            return -1;
        }
        part += static_cast<char>(c);
        return 0;
    }

    void begin_statement() {
        used = 1;
        kind = QEXPR_KIND_PLAIN;
        quote = Q_BARE;
        skip_lead = false;
        op_first = 0;
        name.clear();
        op.clear();
        value.clear();
    }

    // A complete statement: resolve the operator, decode the value and hand
    // it to the add callback.
    int complete() {
        int opcode = 0;
        if (kind != QEXPR_KIND_CMD) {
            opcode = qexpr_opcode(op.c_str());
            if (opcode < 0) {
                qexpr_set_err(err, "%d:0 opcode=[%s] Unsupported", line, op.c_str());
                return -1;
            }
        }
        std::string v = value;
        if (quote == Q_DOUBLE) {
            char* decoded = str_unescape_cstr(value.c_str());
            if (!decoded) {
                LOG2(LOG2_DBG, "pal", "avg2=%s escape fail\n", value.c_str());
            } else {
                v = decoded;
                pl_free(decoded);
            }
        }
        const int expand = kind != QEXPR_KIND_CMD && quote != Q_SINGLE;
        if (!add) return 0;
        const int r = add(arg, used, name.c_str(), opcode, v.c_str(), expand, kind);
        if (r == -2) {
            qexpr_set_err(err, "var [%s] does not exist", name.c_str());
            return -2;
        }
        if (r < 0) {
            qexpr_set_err(err, "expr malloc failed");
            return -1;
        }
        return 0;
    }

    int start_value(unsigned char c) {
        mode = M_VALUE;
        if (c == '"') {
            quote = Q_DOUBLE;
            return 0;
        }
        if (c == '\'') {
            quote = Q_SINGLE;
            skip_lead = true;
            return 0;
        }
        quote = Q_BARE;
        return in_value(c);
    }

    int in_value(unsigned char c) {
        switch (quote) {
        case Q_DOUBLE:
            if (c == '"') {
                mode = M_POST_VALUE;
                return complete();
            }
            return append(value, c, QEXPR_VALUE_MAX, "value");
        case Q_SINGLE:
            if (skip_lead && is_blank(c)) return 0;
            skip_lead = false;
            if (c == '\'') {
                mode = M_POST_VALUE;
                return complete();
            }
            return append(value, c, QEXPR_VALUE_MAX, "value");
        default:
            if (is_blank(c) || c == '\r') {
                mode = M_POST_VALUE;
                return complete();
            }
            if (c == '\n' || c == ';') {
                mode = M_IDLE;
                return complete();
            }
            if (c == '#') {
                mode = M_COMMENT;
                return complete();
            }
            return append(value, c, QEXPR_VALUE_MAX, "value");
        }
    }

    int step(unsigned char c) {
        switch (mode) {
        case M_IDLE:
            if (is_blank(c) || c == '\r' || c == '\n' || c == ';') return 0;
            if (c == '#') {
                mode = M_COMMENT;
                return 0;
            }
            if (c == '\'') {
                mode = M_QCOMMENT;
                return 0;
            }
            begin_statement();
            if (c == '~') {
                used = 0;
                mode = M_TILDE;
                return 0;
            }
            if (c == '!' || c == '@') {
                kind = c == '!' ? QEXPR_KIND_NOT : QEXPR_KIND_CMD;
                mode = M_MARK;
                return 0;
            }
            if (is_name_start(c)) {
                mode = M_NAME;
                return append(name, c, QEXPR_NAME_MAX, "var");
            }
            return fail_at(c, "error: Var must start with letter or underscore");
        case M_TILDE:
            if (is_blank(c)) return 0;
            if (c == '!' || c == '@') {
                kind = c == '!' ? QEXPR_KIND_NOT : QEXPR_KIND_CMD;
                mode = M_MARK;
                return 0;
            }
            if (is_name_start(c)) {
                mode = M_NAME;
                return append(name, c, QEXPR_NAME_MAX, "var");
            }
            return fail_at(c, "error:  ban_cmd character cannot appear");
        case M_MARK:
            if (is_blank(c)) return 0;
            if (is_name_start(c)) {
                mode = M_NAME;
                return append(name, c, QEXPR_NAME_MAX, "var");
            }
            return fail_at(c, "error: Var must start with letter or underscore");
        case M_NAME:
            if (is_name_char(c)) return append(name, c, QEXPR_NAME_MAX, "var");
            if (c == '\r') return 0;
            if (is_blank(c)) {
                mode = kind == QEXPR_KIND_CMD ? M_PRE_VALUE : M_PRE_OP;
                return 0;
            }
            if (kind != QEXPR_KIND_CMD && is_op_char(c)) {
                op_first = static_cast<char>(c);
                mode = M_OP;
                return append(op, c, QEXPR_OP_MAX, "opcode");
            }
            return fail_at(c, "syntax error=2");
        case M_PRE_OP:
            if (is_blank(c)) return 0;
            if (is_op_char(c) || is_letter(c)) {
                op_first = static_cast<char>(c);
                mode = M_OP;
                return append(op, c, QEXPR_OP_MAX, "opcode");
            }
            return fail_at(c, "syntax error=3");
        case M_OP:
            if (is_op_char(c)) return append(op, c, QEXPR_OP_MAX, "opcode");
            if (is_letter(c) || is_digit(c)) {
                // "level<=3": after a "<", "=" or ">" operator the value starts at once.
                if (op_first == '<' || op_first == '=' || op_first == '>') return start_value(c);
                return append(op, c, QEXPR_OP_MAX, "opcode");
            }
            if (is_blank(c)) {
                mode = M_PRE_VALUE;
                return 0;
            }
            return fail_at(c, "syntax error=4");
        case M_PRE_VALUE:
            if (is_blank(c)) return 0;
            if (c == '\n' || c == '\r') return fail_at(c, "syntax error=5");
            return start_value(c);
        case M_VALUE:
            return in_value(c);
        case M_POST_VALUE:
            if (is_blank(c) || c == '\r') return 0;
            if (c == '#') {
                mode = M_COMMENT;
                return 0;
            }
            if (c == ';' || c == '\n') {
                mode = M_IDLE;
                return 0;
            }
            return fail_at(c, "syntax error=6");
        case M_COMMENT:
            if (c == '\n' || c == ';') mode = M_IDLE;
            return 0;
        case M_QCOMMENT:
            if (c == '\'') mode = M_IDLE;
            return 0;
        default:
            return -1;
        }
    }

    int finish() {
        switch (mode) {
        case M_IDLE:
        case M_COMMENT:
        case M_POST_VALUE:
            return 0;
        case M_VALUE:
            if (quote == Q_BARE) return complete();
            break;
        default:
            break;
        }
        qexpr_set_err(err, "%d:0 mode=%d Incomplete expression error", line, mode);
        return -1;
    }
};

}  // namespace

int qexpr_parse(const char* text, char* err, qexpr_add_fn add, void* arg) {
    if (err) err[0] = '\0';
    if (!text) {
        qexpr_set_err(err, "rule text is missing");
        return -1;
    }
    parser p(err, add, arg);
    for (const char* s = text; *s; s++) {
        const auto c = static_cast<unsigned char>(*s);
        p.col++;
        const int r = p.step(c);
        if (r < 0) return r;
        if (c == '\n') {
            p.line++;
            p.col = 0;
        }
    }
    return p.finish();
}

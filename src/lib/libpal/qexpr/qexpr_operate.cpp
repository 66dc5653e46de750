// Operators of the rule language and the comparison of typed values.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "libpal/qexpr/qexpr.h"
#include "libpal/regex/regex_ex.h"
#include "libpal/string/mem_find.h"
#include "libpal/string/str_size.h"
#include "libpal/string/str_util.h"
#include "liblog/log2.h"

namespace {

struct op_row {
    int32_t code;
    const char* text;
};

constexpr op_row k_ops[] = {
    {QEXPR_OP_FINDHEX, "findhex"},
    {QEXPR_OP_NOT_FINDHEX, "!findhex"},
    {QEXPR_OP_EQ, "=="},
    {QEXPR_OP_NE, "!="},
    {QEXPR_OP_LT, "<"},
    {QEXPR_OP_GT, ">"},
    {QEXPR_OP_LE, "<="},
    {QEXPR_OP_GE, ">="},
    {QEXPR_OP_FIND, "find"},
    {QEXPR_OP_NOT_FIND, "!find"},
    {QEXPR_OP_GFIND, "gfind"},
    {QEXPR_OP_NOT_GFIND, "!gfind"},
    {QEXPR_OP_STARTSWITH, "startswith"},
    {QEXPR_OP_NOT_STARTSWITH, "!startswith"},
    {QEXPR_OP_ENDSWITH, "endswith"},
    {QEXPR_OP_NOT_ENDSWITH, "!endswith"},
    {QEXPR_OP_GLOB, "glob"},
    {QEXPR_OP_NOT_GLOB, "!glob"},
    {QEXPR_OP_MATCH, "match"},
    {QEXPR_OP_NOT_MATCH, "!match"},
};

// Opcodes from 2 on come in fours: plain, its negation, then both ignoring case.
bool is_nocase_form(int opcode) { return opcode >= 2 && ((opcode - 2) & 3) >= 2; }

int plain_form(int opcode) { return is_nocase_form(opcode) ? opcode - 2 : opcode; }

bool is_alnum_ascii(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

const char* find_in(const char* text, const char* part, bool nocase) {
    return nocase ? strcasestr(text, part) : strstr(text, part);
}

// An occurrence of part with neither a letter nor a digit next to it.
bool find_word(const char* text, const char* part, bool nocase) {
    const size_t n = strlen(part);
    for (const char* p = text; (p = find_in(p, part, nocase)) != nullptr; p++) {
        bool before = p == text || !is_alnum_ascii(static_cast<unsigned char>(p[-1]));
        bool after = !is_alnum_ascii(static_cast<unsigned char>(p[n]));
        if (before && after) return true;
        if (*p == '\0') break;
    }
    return false;
}

bool starts_with(const char* text, const char* part, bool nocase) {
    const size_t n = strlen(part);
    return (nocase ? strncasecmp(text, part, n) : strncmp(text, part, n)) == 0;
}

bool ends_with(const char* text, const char* part, bool nocase) {
    const size_t tn = strlen(text);
    const size_t n = strlen(part);
    if (n > tn) return false;
    const char* tail = text + tn - n;
    return (nocase ? strcasecmp(tail, part) : strcmp(tail, part)) == 0;
}

bool has_hex(const void* bytes, size_t len, const char* pattern) {
    return pattern && mem_find_hex(bytes, len, pattern) != nullptr;
}

int operate_text(const char* a, const char* b, int opcode) {
    const bool nocase = is_nocase_form(opcode);
    const int plain = plain_form(opcode);
    if (plain >= QEXPR_OP_EQ && plain <= QEXPR_OP_GE) {
        const int c = nocase ? strcasecmp(a, b) : strcmp(a, b);
        switch (plain) {
        case QEXPR_OP_EQ: return c == 0;
        case QEXPR_OP_NE: return c != 0;
        case QEXPR_OP_LT: return c < 0;
        case QEXPR_OP_GT: return c > 0;
        case QEXPR_OP_LE: return c <= 0;
        case QEXPR_OP_GE: return c >= 0;
        default: return 0;
        }
    }
    bool hit = false;
    switch (plain & ~1) {
    case QEXPR_OP_FINDHEX: hit = has_hex(a, strlen(a), b); break;
    case QEXPR_OP_FIND: hit = find_in(a, b, nocase) != nullptr; break;
    case QEXPR_OP_GFIND: hit = find_word(a, b, nocase); break;
    case QEXPR_OP_STARTSWITH: hit = starts_with(a, b, nocase); break;
    case QEXPR_OP_ENDSWITH: hit = ends_with(a, b, nocase); break;
    case QEXPR_OP_GLOB: hit = (nocase ? str_wildcard_nocase(a, b) : str_wildcard(a, b)) != 0; break;
    case QEXPR_OP_MATCH: hit = regmatch_imp(b, a, nocase ? 1 : 0) != 0; break;
    default: return 0;
    }
    return (plain & 1) ? !hit : hit;
}

unsigned width_of(uint32_t type) {
    switch (type) {
    case QEXPR_TYPE_U8: return 1;
    case QEXPR_TYPE_U16: return 2;
    case QEXPR_TYPE_U32: return 4;
    case QEXPR_TYPE_U64: return 8;
    default: return 0;
    }
}

uint64_t masked(uint64_t num, unsigned width) {
    return width >= 8 ? num : num & ((uint64_t{1} << (8 * width)) - 1);
}

// Integers compare unsigned with the rule value's number; case plays no
// part, so the case-insensitive forms count as the plain ones.
int operate_int(const qexpr_value* a, const qexpr_value* b, int opcode, unsigned width) {
    const uint64_t x = masked(a->num, width);
    if (opcode == QEXPR_OP_FINDHEX || opcode == QEXPR_OP_NOT_FINDHEX) {
        // The value's bytes as a record stores them (this machine's order).
        unsigned char bytes[8];
        const uint8_t v8 = static_cast<uint8_t>(x);
        const uint16_t v16 = static_cast<uint16_t>(x);
        const uint32_t v32 = static_cast<uint32_t>(x);
        switch (width) {
        case 1: memcpy(bytes, &v8, 1); break;
        case 2: memcpy(bytes, &v16, 2); break;
        case 4: memcpy(bytes, &v32, 4); break;
        default: memcpy(bytes, &x, 8); break;
        }
        const bool hit = has_hex(bytes, width, b->str);
        return opcode == QEXPR_OP_FINDHEX ? hit : !hit;
    }
    const uint64_t y = b->type == QEXPR_TYPE_STR ? b->str_num : b->num;
    switch (plain_form(opcode)) {
    case QEXPR_OP_EQ: return x == y;
    case QEXPR_OP_NE: return x != y;
    case QEXPR_OP_LT: return x < y;
    case QEXPR_OP_GT: return x > y;
    case QEXPR_OP_LE: return x <= y;
    case QEXPR_OP_GE: return x >= y;
    default: return 0;
    }
}

}  // namespace

int qexpr_opcode(const char* op) {
    if (!op) return -1;
    for (const auto& row : k_ops) {
        if (strcmp(row.text, op) == 0) return row.code;
    }
    return -1;
}

const char* qexpr_op_text(int opcode) {
    const int plain = plain_form(opcode);
    for (const auto& row : k_ops) {
        if (row.code == plain) return row.text;
    }
    return nullptr;
}

void qexpr_value_fill(qexpr_value* v) {
    if (!v) return;
    v->num_text[0] = '\0';
    v->str_num = 0;
    if (v->type == QEXPR_TYPE_STR) {
        v->str_num = str_to_u64(v->str);
        return;
    }
    const unsigned width = width_of(v->type);
    if (width) {
        v->num = masked(v->num, width);
        snprintf(v->num_text, sizeof v->num_text, "%" PRIu64, v->num);
    }
}

void qexpr_value_set_int(qexpr_value* v, uint32_t type, uint64_t num) {
    if (!v) return;
    *v = qexpr_value{};
    v->type = type;
    v->num = num;
    qexpr_value_fill(v);
}

void qexpr_value_set_str(qexpr_value* v, const char* text) {
    if (!v) return;
    *v = qexpr_value{};
    v->type = QEXPR_TYPE_STR;
    v->str = text ? text : "";
    qexpr_value_fill(v);
}

const char* qexpr_value_text(const qexpr_value* v) {
    if (!v) return "";
    if (v->type == QEXPR_TYPE_STR) return v->str ? v->str : "";
    return v->num_text;
}

int expr_operate(const qexpr_value* a, const qexpr_value* b, int opcode) {
    if (!a || !b || opcode < 0 || opcode > QEXPR_OP_LAST) return 0;
    if (a->type == QEXPR_TYPE_STR) {
        if (!a->str || !b->str) return 0;
        return operate_text(a->str, b->str, opcode);
    }
    const unsigned width = width_of(a->type);
    return width ? operate_int(a, b, opcode, width) : 0;
}

int expr_operate_str(const char* a, const char* b, int opcode, int ignore_case, int trace) {
    if (!a || !b || opcode < 0 || opcode > QEXPR_OP_LAST) return 0;
    if (ignore_case && opcode >= 2 && !is_nocase_form(opcode)) opcode += 2;
    const int r = operate_text(a, b, opcode);
    if (trace) {
        const char* op = qexpr_op_text(opcode);
        LOG2(LOG2_DBG, "pal", "[%s %s %s]\n", a, op ? op : "?", b);
    }
    return r;
}

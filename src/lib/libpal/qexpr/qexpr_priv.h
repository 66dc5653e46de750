// Shared pieces of the rule-set sources.
#pragma once

#include <string>

#include "libpal/qexpr/qexpr.h"

// Rule records and lists.
qexpr_rule* qexpr_rule_new(int used, const char* var, int opcode, const char* value, int kind);
void qexpr_rule_free(qexpr_rule* r);
// Frees every rule of the list and empties it (the slots stay).
void qexpr_rule_list_clear(mem_ptr_ctx* list);
inline qexpr_rule* qexpr_rule_at(const mem_ptr_ctx* list, uint64_t i) {
    return static_cast<qexpr_rule*>(mem_ptr_at(list, i));
}

// Fills the error text (QEXPR_ERR_SIZE bytes; absent: nothing), cutting a
// longer message.
void qexpr_set_err(char* err, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Appends one line of the text form of a rule or command. A command value
// is single-quoted when it holds a blank, or always double-quoted with
// always_quote_cmd. may_expand tells whether a "$" in the value is still to
// be expanded when the line is read back (stored rule values already were).
// Values that would not read back as themselves are double-quoted with
// backslash escapes.
void qexpr_rule_line(std::string& out, int used, const char* var, int opcode, const char* value, int kind,
                     bool always_quote_cmd, bool may_expand);

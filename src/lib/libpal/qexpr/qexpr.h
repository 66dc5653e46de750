// Rule sets: a small language of comparisons between named variables and
// values ("level <= 3", "tag find block", "msg match ^err"), combined with
// "or" or "and", that decides whether a record is dropped. A host hands in
// the variable values of each record through a getter.
//
// Text form: statements separated by line breaks or ";". A statement is
// "[~][!]name op value" (a rule; "~" keeps it in the set but never
// evaluates it, "!" negates it) or "[~]@name value" (a command: "rule_mode
// or|and", "include path"). "#" comments end at the line break or ";", a
// "'" comment runs to the next "'". Values are bare, "double-quoted"
// (backslash escapes decoded) or 'single-quoted' (no "$" expansion).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "libpal/memory/mem_ptr.h"

struct os_mutex;
struct str_map;

// Size of every error text buffer handed to the rule functions.
inline constexpr size_t QEXPR_ERR_SIZE = 4096;
// Longest variable name, operator and value the parser takes.
inline constexpr size_t QEXPR_NAME_MAX = 255;
inline constexpr size_t QEXPR_OP_MAX = 63;
inline constexpr size_t QEXPR_VALUE_MAX = 255;

enum : uint32_t {
    QEXPR_MODE_OR = 0,
    QEXPR_MODE_AND = 1,
};

// Rule kinds.
enum : int32_t {
    QEXPR_KIND_PLAIN = 0,
    QEXPR_KIND_NOT = 1,  // "!"
    QEXPR_KIND_CMD = 2,  // "@"
};

// Opcodes. An odd opcode is the negation of the one below it; a text
// operator's case-insensitive form is its opcode plus 2 (4, 5, 8, 9, ...).
enum : int32_t {
    QEXPR_OP_FINDHEX = 0,
    QEXPR_OP_NOT_FINDHEX = 1,
    QEXPR_OP_EQ = 2,
    QEXPR_OP_NE = 3,
    QEXPR_OP_LT = 6,
    QEXPR_OP_GT = 7,
    QEXPR_OP_LE = 10,
    QEXPR_OP_GE = 11,
    QEXPR_OP_FIND = 14,
    QEXPR_OP_NOT_FIND = 15,
    QEXPR_OP_GFIND = 18,
    QEXPR_OP_NOT_GFIND = 19,
    QEXPR_OP_STARTSWITH = 22,
    QEXPR_OP_NOT_STARTSWITH = 23,
    QEXPR_OP_ENDSWITH = 26,
    QEXPR_OP_NOT_ENDSWITH = 27,
    QEXPR_OP_GLOB = 30,
    QEXPR_OP_NOT_GLOB = 31,
    QEXPR_OP_MATCH = 34,
    QEXPR_OP_NOT_MATCH = 35,
    QEXPR_OP_LAST = 37,  // highest opcode (the case-insensitive "!match")
};

// Value types: the numbers of the binary records' field types.
enum : uint32_t {
    QEXPR_TYPE_U8 = 0,
    QEXPR_TYPE_U16 = 2,
    QEXPR_TYPE_U32 = 4,
    QEXPR_TYPE_U64 = 6,
    QEXPR_TYPE_STR = 20,
};

// A typed value: an integer or a text, and its second form (an integer's
// decimal text, a text's number), made by qexpr_value_fill.
struct qexpr_value {
    uint32_t type;        // QEXPR_TYPE_*
    uint64_t num;         // the integer (integer types)
    const char* str;      // the text (QEXPR_TYPE_STR); not owned
    uint64_t str_num;     // second form of a text: its number (0 when it is none)
    char num_text[24];    // second form of an integer: "%llu"
};

// Sets an integer value (the type decides how many low bytes count) or a
// text value, and its second form.
void qexpr_value_set_int(qexpr_value* v, uint32_t type, uint64_t num);
void qexpr_value_set_str(qexpr_value* v, const char* text);
// Fills the second form from type and num or str.
void qexpr_value_fill(qexpr_value* v);
// The value as text: the text itself, or the integer's decimal text.
const char* qexpr_value_text(const qexpr_value* v);

// The host's variable record (optional).
struct qexpr_vars {
    str_map* values;   // name -> qexpr_value* (typed values), looked up first
    str_map* texts;    // name -> text
    str_map* expand;   // name -> text, for "$name" and "${name}" in values
    int trace;         // non-zero: every evaluated rule is logged at dbg level
    int ignore_case;   // 0: text comparisons respect letter case
    time_t now;        // date words count back from here; 0: the current time
};

// One rule, or one command.
struct qexpr_rule {
    int32_t used;   // 0 for a rule written with "~": kept, never evaluated
    char* var;      // variable (or command) name
    int32_t opcode; // 0 for commands
    char* value;
    int32_t kind;   // QEXPR_KIND_*
};

// A rule set. Evaluation, dumps, walks and the swap of the rule lists hold
// the mutex; the lists being built belong to the loading thread.
struct qexpr_ctx {
    qexpr_vars* vars;
    uint32_t rule_mode;      // QEXPR_MODE_*
    os_mutex* mutex;
    mem_ptr_ctx main_rules;     // qexpr_rule*, in text order
    mem_ptr_ctx include_rules;
    mem_ptr_ctx build_main;     // being built by a load
    mem_ptr_ctx build_include;
    uint32_t build_level;       // 0 main text, 1 included file
    uint32_t build_mode;        // mode chosen by the text being loaded
    int32_t build_mode_set;     // 1 when the text chose a mode
};

// Getter of a variable's value for one record: 0 (or more) with *out set,
// negative when it has no value.
using qexpr_get_fn = int (*)(const char* name, qexpr_value* out, void* arg);

// A new, empty rule set (mode "or"), or nothing; vars may be absent and
// must outlive the set.
qexpr_ctx* qexpr_new(qexpr_vars* vars);
void qexpr_free(qexpr_ctx* h);

// Parses and commits the text; on failure (negative) err (QEXPR_ERR_SIZE
// bytes, may be absent) says why and the rule set is left as it was.
int qexpr_load_rules(qexpr_ctx* h, const char* text, char* err);
// qexpr_load_rules with the text of a file; an unreadable file gives -1
// and "file open failed".
int qexpr_load_file(qexpr_ctx* h, const char* path, char* err);
// Adds one rule or command to the list being built (rule values are
// expanded). An unknown operator gives -1, an unknown variable (with a host
// record) -2.
int qexpr_add_rules(qexpr_ctx* h, int used, const char* var, const char* op, const char* value, int kind);
// Runs the commands of what was built and makes it the rule set.
int qexpr_commit(qexpr_ctx* h, char* err);
// Frees the lists being built.
void qexpr_build_clear(qexpr_ctx* h);

// 1 when the rules drop the record whose variables the getter gives (none:
// the host record's maps), 0 when it is kept.
int qexpr_filter_drop(qexpr_ctx* h, qexpr_get_fn get, void* arg);

// Compares a record's value a with a rule's value b: 1 true, 0 false.
int expr_operate(const qexpr_value* a, const qexpr_value* b, int opcode);
// Compares two texts; ignore_case turns a case-sensitive text opcode into
// its case-insensitive form; trace logs the comparison at dbg level.
int expr_operate_str(const char* a, const char* b, int opcode, int ignore_case, int trace);
// The opcode of an operator text (case-insensitive forms have none), or -1.
int qexpr_opcode(const char* op);
// The operator text of an opcode (a case-insensitive form gives the text of
// its plain form), or nothing.
const char* qexpr_op_text(int opcode);

// Text forms: new texts (pl_free), nothing without a rule set.
char* qexpr_dump_main_rules(qexpr_ctx* h);
char* qexpr_dump_rules_str(qexpr_ctx* h);
// CRC-64 (Jones) of qexpr_dump_rules_str; 0 without a rule set.
uint64_t qexpr_rules_crc(qexpr_ctx* h);

// Syntax checks: 0, or negative with err filled.
int qexpr_check_text(const char* text, char* err);
int qexpr_check_file(const char* path, char* err);
// The rules rewritten one per line in normal form: a new text (pl_free),
// or nothing with err filled.
char* qexpr_format_text(const char* text, char* err);
char* qexpr_format_file(const char* path, char* err);

// Copies the rules and the mode of src into dst. 0 or -1.
int qexpr_copy(qexpr_ctx* dst, qexpr_ctx* src);
// Calls fn for each main rule under the mutex; a non-zero return stops the
// walk and is returned.
using qexpr_walk_fn = int (*)(int used, int is_cmd, const char* var, int opcode, const char* value, int kind,
                              void* arg);
int qexpr_walk(qexpr_ctx* h, qexpr_walk_fn fn, void* arg);
size_t qexpr_main_rule_count(qexpr_ctx* h);
void qexpr_set_rule_mode(qexpr_ctx* h, uint32_t mode);

// The parser: calls add for every complete statement with (arg, used,
// name, opcode, value, expand flag, kind). add returns 0, -2 for an unknown
// variable, another negative value on failure. 0, or -1/-2 with err filled.
using qexpr_add_fn = int (*)(void* arg, int used, const char* var, int opcode, const char* value, int expand,
                             int kind);
int qexpr_parse(const char* text, char* err, qexpr_add_fn add, void* arg);

// Value of a "$name" reference: the host's expansion map, the date words
// "today", "last_week", "last_mon", "last_year", then the environment. A new
// text (pl_free) or nothing; arg is the rule set (may be absent).
char* qexpr_var_lookup(const char* name, void* arg, size_t len);

// Evaluation of a rule set over one record.
#include "libpal/os/os_thread.h"
#include "libpal/qexpr/qexpr_priv.h"
#include "libpal/string/str_map.h"
#include "liblog/log2.h"

namespace {

// The value of a variable from the host record's maps: typed values first,
// then texts. False when neither has it.
bool host_value(const qexpr_vars* vars, const char* name, qexpr_value* out) {
    if (!vars) return false;
    if (vars->values) {
        const void* typed = str_map_find(vars->values, name);
        if (typed) {
            *out = *static_cast<const qexpr_value*>(typed);
            return true;
        }
    }
    if (vars->texts) {
        const char* text = str_map_find(vars->texts, name);
        if (text) {
            qexpr_value_set_str(out, text);
            return true;
        }
    }
    return false;
}

// The opcode used for a record value: texts are compared ignoring case
// when the rule set says so; integers have no case, so their opcode stays.
int effective_opcode(int opcode, const qexpr_value* a, bool ignore_case) {
    const bool plain_text_op = opcode >= 2 && ((opcode - 2) & 3) < 2;
    if (ignore_case && a->type == QEXPR_TYPE_STR && plain_text_op) return opcode + 2;
    return opcode;
}

enum class verdict { go_on, keep, drop };

// A plain rule keeps the record when its comparison is true and drops it
// when false; a "!" rule does the reverse. A plain rule ends the walk on
// keep in mode "or" and on drop in mode "and"; a "!" rule ends it on drop
// in mode "or" and on keep in mode "and".
verdict apply(bool c, bool negated, uint32_t mode, int* result) {
    const bool keep = c != negated;
    *result = keep ? 0 : 1;
    const bool ends = negated ? (keep == (mode == QEXPR_MODE_AND)) : (keep == (mode == QEXPR_MODE_OR));
    if (!ends) return verdict::go_on;
    return keep ? verdict::keep : verdict::drop;
}

}  // namespace

int qexpr_filter_drop(qexpr_ctx* h, qexpr_get_fn get, void* arg) {
    if (!h) return 0;
    const qexpr_vars* vars = h->vars;
    const bool ignore_case = !vars || vars->ignore_case != 0;
    const bool trace = vars && vars->trace;
    os_mutex_guard lock(h->mutex);
    int result = 0;
    for (const mem_ptr_ctx* list : {&h->main_rules, &h->include_rules}) {
        for (uint64_t i = 0; i < mem_ptr_count(list); i++) {
            const qexpr_rule* r = qexpr_rule_at(list, i);
            if (!r->used || r->kind == QEXPR_KIND_CMD) continue;
            qexpr_value a{};
            if (get) {
                if (get(r->var, &a, arg) < 0) {
                    LOG2(LOG2_ERR, "pal", "var_proc get_arg1 [%s] failed\n", r->var);
                    continue;
                }
            } else if (!host_value(vars, r->var, &a)) {
                continue;
            }
            qexpr_value_fill(&a);
            qexpr_value b{};
            qexpr_value_set_str(&b, r->value);
            const int c = expr_operate(&a, &b, effective_opcode(r->opcode, &a, ignore_case));
            if (trace) {
                const char* op = qexpr_op_text(r->opcode);
                LOG2(LOG2_DBG, "pal", "[ %s %s(%s) %s %s ] = %d\n", r->kind == QEXPR_KIND_NOT ? "!" : "", r->var,
                     qexpr_value_text(&a), op ? op : "?", r->value, c);
            }
            switch (apply(c != 0, r->kind == QEXPR_KIND_NOT, h->rule_mode, &result)) {
            case verdict::keep: return 0;
            case verdict::drop: return 1;
            case verdict::go_on: break;
            }
        }
    }
    return result;
}

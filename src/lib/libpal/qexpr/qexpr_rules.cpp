// Rule sets: records, building, commands, committing and copying.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_console.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_thread.h"
#include "libpal/qexpr/qexpr_priv.h"
#include "libpal/string/str_expand.h"
#include "libpal/string/str_map.h"
#include "liblog/log2.h"

namespace {

mem_ptr_ctx* build_list(qexpr_ctx* h) { return h->build_level ? &h->build_include : &h->build_main; }

bool var_known(const qexpr_vars* vars, const char* name) {
    return (vars->values && str_map_find(vars->values, name)) || (vars->texts && str_map_find(vars->texts, name));
}

// The add callback of a load: the statement goes to the list being built.
int add_rule_cb(void* arg, int used, const char* var, int opcode, const char* value, int expand, int kind) {
    auto* h = static_cast<qexpr_ctx*>(arg);
    if (h->vars && kind != QEXPR_KIND_CMD && !var_known(h->vars, var)) return -2;
    char* expanded = nullptr;
    if (expand) {
        expanded = str_expand_vars(value, qexpr_var_lookup, h);
        if (!expanded) return -1;
        value = expanded;
    }
    qexpr_rule* r = qexpr_rule_new(used, var, opcode, value, kind);
    pl_free(expanded);
    if (!r) return -1;
    if (mem_ptr_add(build_list(h), r) != 0) {
        qexpr_rule_free(r);
        return -1;
    }
    return 0;
}

int load_level(qexpr_ctx* h, const char* text, uint32_t level, char* err);

// "include": the file's rules go to the include list being built.
int run_include(qexpr_ctx* h, const char* value, uint32_t level, char* err) {
    if (level != 0) {
        qexpr_set_err(err, "Only one level of include is supported");
        return -1;
    }
    char* path = str_expand_env_vars(value);
    if (!path) {
        qexpr_set_err(err, "expr malloc failed");
        return -1;
    }
    errno = 0;
    char* text = os_file_read_text(path);
    if (!text) {
        const int e = errno ? errno : EIO;
        qexpr_set_err(err, "include [%s][%s] error: %s", value, path, strerror(e));
        pl_free(path);
        return -1;
    }
    pl_free(path);
    const int r = load_level(h, text, 1, err);
    pl_free(text);
    return r;
}

// Runs the commands of list from index start on.
int run_commands(qexpr_ctx* h, mem_ptr_ctx* list, uint64_t start, uint32_t level, char* err) {
    // An include appends to the list of the other level, never to this one
    // while it is walked, so the count read here stays valid.
    for (uint64_t i = start; i < mem_ptr_count(list); i++) {
        const qexpr_rule* r = qexpr_rule_at(list, i);
        if (!r || r->kind != QEXPR_KIND_CMD || !r->used) continue;
        if (strcmp(r->var, "rule_mode") == 0) {
            if (strcmp(r->value, "or") == 0 || strcmp(r->value, "and") == 0) {
                h->build_mode = strcmp(r->value, "and") == 0 ? QEXPR_MODE_AND : QEXPR_MODE_OR;
                h->build_mode_set = 1;
                continue;
            }
            qexpr_set_err(err, "rule_mode = %s error, [or and]", r->value);
            return -1;
        }
        if (strcmp(r->var, "include") == 0) {
            if (run_include(h, r->value, level, err) != 0) return -1;
            continue;
        }
        qexpr_set_err(err, "unsupprot cmd [%s] error", r->var);
        return -1;
    }
    return 0;
}

// Parses text into the list of the level and runs its new commands.
int load_level(qexpr_ctx* h, const char* text, uint32_t level, char* err) {
    const uint32_t saved = h->build_level;
    h->build_level = level;
    mem_ptr_ctx* list = build_list(h);
    const uint64_t start = mem_ptr_count(list);
    int r = qexpr_parse(text, err, add_rule_cb, h);
    if (r == 0) r = run_commands(h, list, start, level, err);
    h->build_level = saved;
    return r < 0 ? r : 0;
}

void reset_build(qexpr_ctx* h) {
    qexpr_rule_list_clear(&h->build_main);
    qexpr_rule_list_clear(&h->build_include);
    h->build_level = 0;
    h->build_mode_set = 0;
}

// Swaps the built lists in under the mutex, applying the mode the text
// chose; the old rules are freed after the lock is released.
void swap_in(qexpr_ctx* h) {
    {
        os_mutex_guard lock(h->mutex);
        std::swap(h->main_rules, h->build_main);
        std::swap(h->include_rules, h->build_include);
        if (h->build_mode_set) h->rule_mode = h->build_mode;
    }
    reset_build(h);
}

int copy_list(mem_ptr_ctx* dst, const mem_ptr_ctx* src) {
    for (uint64_t i = 0; i < mem_ptr_count(src); i++) {
        const qexpr_rule* r = qexpr_rule_at(src, i);
        qexpr_rule* c = qexpr_rule_new(r->used, r->var, r->opcode, r->value, r->kind);
        if (!c) return -1;
        if (mem_ptr_add(dst, c) != 0) {
            qexpr_rule_free(c);
            return -1;
        }
    }
    return 0;
}

}  // namespace

void qexpr_set_err(char* err, const char* fmt, ...) {
    if (!err) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, QEXPR_ERR_SIZE, fmt, ap);
    va_end(ap);
}

qexpr_rule* qexpr_rule_new(int used, const char* var, int opcode, const char* value, int kind) {
    auto* r = static_cast<qexpr_rule*>(pl_zalloc(sizeof(qexpr_rule)));
    if (!r) return nullptr;
    r->used = used;
    r->opcode = opcode;
    r->kind = kind;
    r->var = pl_strdup(var ? var : "");
    r->value = pl_strdup(value ? value : "");
    if (!r->var || !r->value) {
        qexpr_rule_free(r);
        return nullptr;
    }
    return r;
}

void qexpr_rule_free(qexpr_rule* r) {
    if (!r) return;
    pl_free(r->var);
    pl_free(r->value);
    pl_free(r);
}

void qexpr_rule_list_clear(mem_ptr_ctx* list) {
    for (uint64_t i = 0; i < mem_ptr_count(list); i++) qexpr_rule_free(qexpr_rule_at(list, i));
    mem_ptr_clear(list);
}

char* qexpr_var_lookup(const char* name, void* arg, size_t) {
    if (!name) return nullptr;
    const auto* h = static_cast<const qexpr_ctx*>(arg);
    const qexpr_vars* vars = h ? h->vars : nullptr;
    if (vars && vars->expand) {
        if (const char* v = str_map_find(vars->expand, name)) return pl_strdup(v);
    }
    for (const char* word : {"today", "last_week", "last_mon", "last_year"}) {
        if (strcmp(name, word) != 0) continue;
        char date[32] = "";
        const time_t now = vars && vars->now ? vars->now : time(nullptr);
        os_date_by_word_at(word, now, date, sizeof date);
        return pl_strdup(date);
    }
    return env_dup(name);
}

qexpr_ctx* qexpr_new(qexpr_vars* vars) {
    auto* h = static_cast<qexpr_ctx*>(pl_zalloc(sizeof(qexpr_ctx)));
    if (!h) return nullptr;
    h->vars = vars;
    h->rule_mode = QEXPR_MODE_OR;
    h->mutex = os_mutex_new();
    if (!h->mutex || mem_ptr_init(&h->main_rules) != 0 || mem_ptr_init(&h->include_rules) != 0 ||
        mem_ptr_init(&h->build_main) != 0 || mem_ptr_init(&h->build_include) != 0) {
        qexpr_free(h);
        return nullptr;
    }
    return h;
}

void qexpr_free(qexpr_ctx* h) {
    if (!h) return;
    for (mem_ptr_ctx* list : {&h->main_rules, &h->include_rules, &h->build_main, &h->build_include}) {
        qexpr_rule_list_clear(list);
        mem_ptr_exit(list);
    }
    if (h->mutex) os_mutex_free(h->mutex);
    pl_free(h);
}

void qexpr_build_clear(qexpr_ctx* h) {
    if (h) reset_build(h);
}

int qexpr_add_rules(qexpr_ctx* h, int used, const char* var, const char* op, const char* value, int kind) {
    if (!h || !var || !value) return -1;
    int opcode = 0;
    if (kind != QEXPR_KIND_CMD) {
        opcode = qexpr_opcode(op);
        if (opcode < 0) {
            LOG2(LOG2_ERR, "pal", "opcode=[%s] Unsupported\n", op ? op : "");
            return -1;
        }
    }
    return add_rule_cb(h, used, var, opcode, value, kind != QEXPR_KIND_CMD, kind);
}

int qexpr_commit(qexpr_ctx* h, char* err) {
    if (err) err[0] = '\0';
    if (!h) return -1;
    h->build_level = 0;
    if (run_commands(h, &h->build_main, 0, 0, err) != 0) {
        reset_build(h);
        return -1;
    }
    swap_in(h);
    return 0;
}

int qexpr_load_rules(qexpr_ctx* h, const char* text, char* err) {
    if (err) err[0] = '\0';
    if (!h) return -1;
    // What an earlier, unfinished build left behind is not part of this text.
    reset_build(h);
    const int r = load_level(h, text, 0, err);
    if (r < 0) {
        reset_build(h);
        return r;
    }
    swap_in(h);
    return 0;
}

int qexpr_load_file(qexpr_ctx* h, const char* path, char* err) {
    if (err) err[0] = '\0';
    if (!h) return -1;
    char* text = path ? os_file_read_text(path) : nullptr;
    if (!text) {
        qexpr_set_err(err, "file open failed");
        return -1;
    }
    int r = qexpr_check_text(text, err);
    if (r == 0) r = qexpr_load_rules(h, text, err);
    pl_free(text);
    return r;
}

int qexpr_copy(qexpr_ctx* dst, qexpr_ctx* src) {
    if (!dst || !src) return -1;
    if (dst == src) return 0;
    mem_ptr_ctx main_copy{};
    mem_ptr_ctx include_copy{};
    if (mem_ptr_init(&main_copy) != 0 || mem_ptr_init(&include_copy) != 0) {
        mem_ptr_exit(&main_copy);
        mem_ptr_exit(&include_copy);
        return -1;
    }
    uint32_t mode = QEXPR_MODE_OR;
    int r = 0;
    {
        os_mutex_guard lock(src->mutex);
        mode = src->rule_mode;
        if (copy_list(&main_copy, &src->main_rules) != 0 || copy_list(&include_copy, &src->include_rules) != 0)
            r = -1;
    }
    if (r == 0) {
        os_mutex_guard lock(dst->mutex);
        std::swap(dst->main_rules, main_copy);
        std::swap(dst->include_rules, include_copy);
        dst->rule_mode = mode;
    }
    for (mem_ptr_ctx* list : {&main_copy, &include_copy}) {
        qexpr_rule_list_clear(list);
        mem_ptr_exit(list);
    }
    return r;
}

int qexpr_walk(qexpr_ctx* h, qexpr_walk_fn fn, void* arg) {
    if (!h || !fn) return -1;
    os_mutex_guard lock(h->mutex);
    for (uint64_t i = 0; i < mem_ptr_count(&h->main_rules); i++) {
        const qexpr_rule* r = qexpr_rule_at(&h->main_rules, i);
        const bool cmd = r->kind == QEXPR_KIND_CMD;
        const int stop = fn(r->used, cmd ? 1 : 0, r->var, cmd ? 0 : r->opcode, r->value, cmd ? 0 : r->kind, arg);
        if (stop) return stop;
    }
    return 0;
}

size_t qexpr_main_rule_count(qexpr_ctx* h) {
    if (!h) return 0;
    os_mutex_guard lock(h->mutex);
    return static_cast<size_t>(mem_ptr_count(&h->main_rules));
}

void qexpr_set_rule_mode(qexpr_ctx* h, uint32_t mode) {
    if (!h) return;
    os_mutex_guard lock(h->mutex);
    h->rule_mode = mode == QEXPR_MODE_AND ? QEXPR_MODE_AND : QEXPR_MODE_OR;
}

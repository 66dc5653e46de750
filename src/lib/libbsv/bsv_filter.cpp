// Subscription filters: rule sets reading the fields of each record by name.
#include "libbsv/bsv_chan.h"
#include "libbsv/bsv_priv.h"
#include "libbsv/bsv_value.h"
#include "libpal/qexpr/qexpr.h"
#include "libpal/string/str_safe.h"

namespace {

struct filter_arg {
    bsv_sub* sub;
    const void* record;
    uint32_t len;
};

int bsv_filter_get_value(const char* name, qexpr_value* out, void* arg) {
    auto* a = static_cast<filter_arg*>(arg);
    uint64_t v = 0;
    int type = bsv_value_find(a->sub->value, a->record, a->len, name, &v);
    if (type < 0) return -1;
    if (type == static_cast<int>(VALUE_TYPE_STRING))
        qexpr_value_set_str(out, reinterpret_cast<const char*>(static_cast<uintptr_t>(v)));
    else
        qexpr_value_set_int(out, static_cast<uint32_t>(type), v);
    return 0;
}

}  // namespace

int bsv_set_filter(bsv_sub* sub, const char* rules, char* err) {
    if (err) err[0] = 0;
    if (!sub || !rules) {
        if (err) str_safecopy_trunc(err, BSV_ERR_SIZE, "invalid argument");
        return -1;
    }
    qexpr_ctx* set = nullptr;
    {
        std::lock_guard<std::mutex> g(bsv_registry_mutex());
        set = sub->rules;
    }
    bool made = false;
    if (!set) {
        set = qexpr_new(nullptr);
        if (!set) {
            if (err) str_safecopy_trunc(err, BSV_ERR_SIZE, "memory allocation failed");
            return -1;
        }
        made = true;
    }
    // The rule set swaps its lists under its own mutex, so a publish that
    // runs meanwhile sees either the old or the new rules.
    char why[QEXPR_ERR_SIZE] = {};
    if (qexpr_load_rules(set, rules, why) < 0) {
        if (err) str_safecopy_trunc(err, BSV_ERR_SIZE, why);
        if (made) qexpr_free(set);
        return -1;
    }
    if (made) {
        std::lock_guard<std::mutex> g(bsv_registry_mutex());
        if (!sub->rules) {
            sub->rules = set;
            set = nullptr;
        }
    }
    if (made && set) qexpr_free(set);  // another thread set one first
    return 0;
}

int bsv_filter_check(bsv_sub* sub, const void* record, uint32_t len) {
    if (!sub || !sub->rules || !sub->value) return 0;
    filter_arg a{sub, record, len};
    return qexpr_filter_drop(sub->rules, bsv_filter_get_value, &a) == 1 ? 1 : 0;
}

void bsv_filter_free(bsv_sub* sub) {
    if (!sub) return;
    qexpr_free(sub->rules);
    sub->rules = nullptr;
}

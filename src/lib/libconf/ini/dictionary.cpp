#include "libconf/ini/dictionary.h"

#include <cstring>

#include "libpal/basic/dict.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

namespace {

// A copy of a text that may be absent: true when it is absent or copied.
bool dup_opt(const char* text, char** out) {
    *out = nullptr;
    if (!text) return true;
    *out = pl_strdup(text);
    return *out != nullptr;
}

void entry_free(dict_entry* e) {
    pl_free(e->key);
    pl_free(e->value);
    pl_free(e->comment);
    pl_free(e);
}

void unlink_entry(dictionary* d, dict_entry* e) {
    (e->prev ? e->prev->next : d->head) = e->next;
    (e->next ? e->next->prev : d->last) = e->prev;
    d->n--;
}

// Removes an entry from the index and the order, and frees it.
void drop_entry(dictionary* d, dict_entry* e) {
    dict_unset(d->index, e->key);
    unlink_entry(d, e);
    entry_free(e);
}

// Gives an entry a new key (an owned text), keeping it in the index. The
// key must be absent: the index then always has a slot for it (the one the
// old key leaves), so this cannot fail.
void rekey(dictionary* d, dict_entry* e, char* key) {
    dict_unset(d->index, e->key);
    pl_free(e->key);
    e->key = key;
    dict_set(d->index, e->key, e);
}

// True when key belongs to section: the section entry itself or one of its keys.
bool in_section(const char* key, const char* section, size_t len) {
    return strncmp(key, section, len) == 0 && (key[len] == 0 || key[len] == '\t');
}

}  // namespace

size_t dictionary_section_len(const char* key) { return strcspn(key, "\t"); }

dictionary* dictionary_create() {
    auto* d = static_cast<dictionary*>(pl_zalloc(sizeof(dictionary)));
    if (!d) return nullptr;
    d->index = dict_new(0);
    if (!d->index) {
        pl_free(d);
        return nullptr;
    }
    return d;
}

void dictionary_free(dictionary* d) {
    if (!d) return;
    for (dict_entry* e = d->head; e;) {
        dict_entry* next = e->next;
        entry_free(e);
        e = next;
    }
    dict_free(d->index);
    pl_free(d->tail_comment);
    pl_free(d);
}

dict_entry* dictionary_find(const dictionary* d, const char* key) {
    if (!d || !key) return nullptr;
    return static_cast<dict_entry*>(dict_get(d->index, key, nullptr));
}

const char* dictionary_lookup(const dictionary* d, const char* key, const char* def) {
    const dict_entry* e = dictionary_find(d, key);
    return e ? e->value : def;
}

const char* dictionary_lookup_comment(const dictionary* d, const char* key) {
    const dict_entry* e = dictionary_find(d, key);
    return e ? e->comment : nullptr;
}

int dictionary_put(dictionary* d, const char* key, const char* value, const char* comment) {
    if (!d || !key) return -1;
    char* v;
    if (!dup_opt(value, &v)) return -1;
    if (dict_entry* e = dictionary_find(d, key)) {
        pl_free(e->value);
        e->value = v;
        return 1;
    }
    auto* e = static_cast<dict_entry*>(pl_zalloc(sizeof(dict_entry)));
    char* c = nullptr;
    char* k = pl_strdup(key);
    if (!e || !k || !dup_opt(comment, &c)) {
        pl_free(e);
        pl_free(k);
        pl_free(v);
        return -1;
    }
    *e = {k, v, c, d->last, nullptr};
    if (dict_set(d->index, e->key, e) != 0) {
        entry_free(e);
        return -1;
    }
    (d->last ? d->last->next : d->head) = e;
    d->last = e;
    d->n++;
    return 0;
}

int dictionary_put_value(dictionary* d, const char* key, const char* value) {
    return dictionary_put(d, key, value, nullptr);
}

int dictionary_set_tail_comment(dictionary* d, const char* comment) {
    if (!d) return -1;
    char* c;
    if (!dup_opt(comment, &c)) return -1;
    pl_free(d->tail_comment);
    d->tail_comment = c;
    return 0;
}

int dictionary_remove(dictionary* d, const char* key) {
    dict_entry* e = dictionary_find(d, key);
    if (!e) return -1;
    drop_entry(d, e);
    return 0;
}

int dictionary_rename(dictionary* d, const char* old_key, const char* new_key) {
    dict_entry* e = dictionary_find(d, old_key);
    if (!e || !new_key || dictionary_find(d, new_key)) return -1;
    char* k = pl_strdup(new_key);
    if (!k) return -1;
    rekey(d, e, k);
    return 0;
}

int dictionary_secremove(dictionary* d, const char* section) {
    if (!d || !section) return -2;
    size_t len = strlen(section);
    int found = 0;
    for (dict_entry* e = d->head; e;) {
        dict_entry* next = e->next;
        if (in_section(e->key, section, len)) {
            drop_entry(d, e);
            found = 1;
        }
        e = next;
    }
    return found ? 0 : -2;
}

int dictionary_secrename(dictionary* d, const char* old_name, const char* new_name) {
    if (!d || !old_name || !new_name) return -2;
    if (dictionary_find(d, new_name)) {
        LOG2(LOG2_ERR, "conf", "nsec=%s exist error\n", new_name);
        return -1;
    }
    size_t old_len = strlen(old_name), new_len = strlen(new_name);
    // First every new key, so that a failed copy or a clash changes nothing.
    int count = 0;
    for (dict_entry* e = d->head; e; e = e->next)
        if (in_section(e->key, old_name, old_len)) count++;
    if (count == 0) return -2;
    auto** keys = static_cast<char**>(pl_calloc(static_cast<size_t>(count), sizeof(char*)));
    if (!keys) return -1;
    int i = 0;
    bool ok = true;
    for (dict_entry* e = d->head; e && ok; e = e->next) {
        if (!in_section(e->key, old_name, old_len)) continue;
        const char* rest = e->key + old_len;
        size_t rest_len = strlen(rest);
        char* k = static_cast<char*>(pl_malloc(new_len + rest_len + 1));
        if (!k) {
            ok = false;
            break;
        }
        memcpy(k, new_name, new_len);
        memcpy(k + new_len, rest, rest_len + 1);
        keys[i++] = k;
        if (dictionary_find(d, k)) ok = false;
    }
    if (!ok) {
        for (int j = 0; j < i; j++) pl_free(keys[j]);
        pl_free(keys);
        LOG2(LOG2_ERR, "conf", "nsec=%s rename error\n", new_name);
        return -1;
    }
    i = 0;
    for (dict_entry* e = d->head; e; e = e->next)
        if (in_section(e->key, old_name, old_len)) rekey(d, e, keys[i++]);
    pl_free(keys);
    return 0;
}

void dictionary_print(const dictionary* d, FILE* out) {
    if (!d || !out) return;
    if (d->n == 0) {
        fputs("empty dictionary\n", out);
        return;
    }
    for (const dict_entry* e = d->head; e; e = e->next)
        fprintf(out, "%20s\t[%s]\n", e->key, e->value ? e->value : "UNDEF");
}

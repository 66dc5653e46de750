#include "libconf/ini/ini_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "libconf/ini/dictionary.h"
#include "libconf/ini/iniparser.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_path_buf.h"
#include "libpal/string/str_vector.h"
#include "libpal/string/text_buf.h"
#include "libpal/string/str_util.h"
#include "liblog/log2.h"

namespace {

constexpr char k_bom[] = "\xEF\xBB\xBF";

ini_conf_obj* as_obj(void* obj) { return static_cast<ini_conf_obj*>(obj); }

dictionary* dict_of(void* obj) { return obj ? as_obj(obj)->dict : nullptr; }

std::string entry_key(const char* section, const char* key) {
    std::string full = section;
    full += '\t';
    full += key;
    return full;
}

bool blank_ends(const char* s) {
    size_t n = strlen(s);
    return n > 0 && (str_is_space(s[0]) || str_is_space(s[n - 1]));
}

// Names and values a file can hold so that they read back as they were set.
bool section_ok(const char* s) { return s && !strpbrk(s, "\r\n\t]") && !blank_ends(s); }

bool key_ok(const char* k) {
    return k && *k && !strpbrk(k, "\r\n=") && !blank_ends(k) && !strchr("[;#", k[0]);
}

bool value_ok(const char* v) { return v && !strpbrk(v, "\r\n"); }

// The file text as saved or dumped.
std::unique_ptr<text_buf, text_buf_deleter> file_text(const dictionary* d, bool bom) {
    std::unique_ptr<text_buf, text_buf_deleter> t(text_buf_new());
    if (!t) return t;
    if (bom) text_buf_add_str(t.get(), k_bom);
    ini_write_text(d, t.get());
    return t;
}

// The file a save replaces: the target of a symbolic link, else the path.
std::string save_target(const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(path, nullptr);
        if (real) {
            std::string t = real;
            free(real);
            return t;
        }
    }
    return path;
}

// Makes sure a rename that reached the directory stays after a crash.
void sync_dir(const std::string& file) {
    size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fsync(fd);
    close(fd);
}

}  // namespace

int ini_conf_probe(const char* path) {
    if (!path) return -1;
    size_t n = strlen(path);
    if (n < 4) return -1;
    const char* ext = path + n - 4;
    return strcasecmp(ext, ".ini") == 0 || strcasecmp(ext, ".kxi") == 0 ? 0 : -1;
}

void* ini_conf_open(const char* path, int create) {
    os_path_buf p(path);
    if (!p.ok()) return nullptr;
    FILE* in = fopen(p.c_str(), "r");
    if (!in) {
        int e = errno;
        if (e != ENOENT) ini_get_error_hook()("iniparser: cannot open %s\n", p.c_str());
        // Only a missing file is made; an existing one is never truncated.
        if (e != ENOENT || !create) return nullptr;
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            LOG2(LOG2_ERR | LOG2_ERRNO, "conf", "create [%s] err: ", p.c_str());
            return nullptr;
        }
        if (fd >= 0) close(fd);
        in = fopen(p.c_str(), "r");
        if (!in) {
            ini_get_error_hook()("iniparser: cannot open %s\n", p.c_str());
            return nullptr;
        }
    }
    dictionary* d = iniparser_load_file(in, p.c_str());
    fclose(in);
    if (!d) return nullptr;
    auto* o = static_cast<ini_conf_obj*>(pl_zalloc(sizeof(ini_conf_obj)));
    char* copy = pl_strdup(p.c_str());
    if (!o || !copy) {
        pl_free(o);
        pl_free(copy);
        dictionary_free(d);
        return nullptr;
    }
    o->path = copy;
    o->dict = d;
    return o;
}

int ini_conf_close(void* obj) {
    if (!obj) return 0;
    ini_conf_obj* o = as_obj(obj);
    pl_free(o->path);
    dictionary_free(o->dict);
    pl_free(o);
    return 0;
}

const char* ini_conf_get(void* obj, const char* section, const char* key, const char* def) {
    dictionary* d = dict_of(obj);
    if (!d || !section || !key) return def;
    const char* v = dictionary_lookup(d, entry_key(section, key).c_str(), nullptr);
    return v ? v : def;
}

int ini_conf_set(void* obj, const char* section, const char* key, const char* value) {
    dictionary* d = dict_of(obj);
    if (!d) return -1;
    if (!section_ok(section) || !key_ok(key) || !value_ok(value)) {
        LOG2(LOG2_ERR, "conf", "set [%s] [%s]: not a text an ini file can hold\n", section ? section : "",
             key ? key : "");
        return -1;
    }
    // Keys without a section stand before the first section: no section entry.
    bool new_section = *section && !dictionary_find(d, section);
    if (new_section && dictionary_put(d, section, nullptr, nullptr) < 0) return -1;
    if (dictionary_put(d, entry_key(section, key).c_str(), value, nullptr) < 0) {
        if (new_section) dictionary_remove(d, section);
        return -1;
    }
    return 0;
}

str_vector* ini_conf_sections(void* obj) {
    dictionary* d = dict_of(obj);
    if (!d) return nullptr;
    str_vector* v = str_vector_new(STR_VECTOR_OWN | STR_VECTOR_SKIP_EMPTY);
    if (!v) return nullptr;
    for (const dict_entry* e = d->head; e; e = e->next) {
        if (e->key[dictionary_section_len(e->key)] != 0) continue;
        if (str_vector_push(v, e->key) != 0) {
            str_vector_free(v);
            return nullptr;
        }
    }
    return v;
}

str_vector* ini_conf_keys(void* obj, const char* section) {
    dictionary* d = dict_of(obj);
    if (!d || !section) return nullptr;
    str_vector* v = str_vector_new(STR_VECTOR_OWN);
    if (!v) return nullptr;
    size_t len = strlen(section);
    for (const dict_entry* e = d->head; e; e = e->next) {
        if (dictionary_section_len(e->key) != len || e->key[len] != '\t' || strncmp(e->key, section, len) != 0)
            continue;
        if (str_vector_push(v, e->key + len + 1) != 0) {
            str_vector_free(v);
            return nullptr;
        }
    }
    return v;
}

int ini_conf_del_section(void* obj, const char* section) { return dictionary_secremove(dict_of(obj), section); }

int ini_conf_unset(void* obj, const char* section, const char* key) {
    dictionary* d = dict_of(obj);
    if (!d || !section || !key) return -1;
    return dictionary_remove(d, entry_key(section, key).c_str());
}

int ini_conf_rename_section(void* obj, const char* old_name, const char* new_name) {
    dictionary* d = dict_of(obj);
    if (!d || !old_name || !*old_name) return -2;
    if (!section_ok(new_name) || !*new_name) {
        LOG2(LOG2_ERR, "conf", "nsec=%s exist error\n", new_name ? new_name : "");
        return -1;
    }
    return dictionary_secrename(d, old_name, new_name);
}

int ini_conf_rename_key(void* obj, const char* section, const char* old_key, const char* new_key) {
    dictionary* d = dict_of(obj);
    if (!d || !section || !old_key || !key_ok(new_key)) return -1;
    return dictionary_rename(d, entry_key(section, old_key).c_str(), entry_key(section, new_key).c_str());
}

int ini_conf_dump(void* obj) {
    dictionary* d = dict_of(obj);
    if (!d) return -1;
    auto t = file_text(d, false);
    if (!t) return -1;
    if (t->len && fwrite(t->data, 1, t->len, stdout) != t->len) return -1;
    return fflush(stdout) == 0 ? 0 : -1;
}

namespace {

// Rewrites the file itself, for a directory that cannot take a temporary
// file beside it; the file keeps its inode, owner and mode.
int save_in_place(const std::string& target, const char* data, size_t len) {
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "conf", "fopen [%s] err: ", target.c_str());
        return -1;
    }
    const char* step = nullptr;
    if (!os_fd_write_all(fd, data, len)) step = "write";
    else if (ftruncate(fd, static_cast<off_t>(len)) != 0) step = "truncate";
    else if (fsync(fd) != 0) step = "fsync";
    int closed = close(fd);
    if (!step && closed != 0) step = "close";
    if (step) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "conf", "save [%s] %s err: ", target.c_str(), step);
        return -1;
    }
    return 0;
}

}  // namespace

// Written to a temporary file beside the target and renamed over it, so a
// failed save leaves the old file whole. An existing file keeps its owner
// and its whole mode; a new one, which may hold passwords, is private.
int ini_conf_save(void* obj) {
    if (!obj) return -1;
    ini_conf_obj* o = as_obj(obj);
    auto t = file_text(o->dict, true);
    if (!t) return -1;
    std::string target = save_target(o->path);

    struct stat st;
    bool exists = stat(target.c_str(), &st) == 0;
    if (exists && access(target.c_str(), W_OK) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "conf", "fopen [%s] err: ", target.c_str());
        return -1;
    }
    mode_t mode = exists ? (st.st_mode & 07777) : 0600;

    std::string tmp = target + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return save_in_place(target, t->data, t->len);
    const char* step = nullptr;
    if (exists && (st.st_uid != geteuid() || st.st_gid != getegid())) (void)fchown(fd, st.st_uid, st.st_gid);
    if (fchmod(fd, mode) != 0) step = "fchmod";
    else if (!os_fd_write_all(fd, t->data, t->len)) step = "write";
    else if (fsync(fd) != 0) step = "fsync";
    int closed = close(fd);
    if (!step && closed != 0) step = "close";
    if (!step && rename(tmp.c_str(), target.c_str()) != 0) step = "rename";
    if (step) {
        int e = errno;
        unlink(tmp.c_str());
        errno = e;
        LOG2(LOG2_ERR | LOG2_ERRNO, "conf", "save [%s] %s err: ", target.c_str(), step);
        return -1;
    }
    sync_dir(target);
    return 0;
}

const conf_ops* ini_conf_get_ops() {
    static const conf_ops ops = {
        ini_conf_probe,    ini_conf_open,          ini_conf_close,      ini_conf_get,   ini_conf_set,
        ini_conf_sections, ini_conf_keys,          ini_conf_del_section, ini_conf_unset, ini_conf_rename_section,
        ini_conf_rename_key, ini_conf_dump,        ini_conf_save,
    };
    return &ops;
}

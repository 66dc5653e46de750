#include "libpal/string/path.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"

static_assert(PATH_MAX <= PATH_SIZE, "path_realpath writes up to PATH_MAX bytes");

namespace {

constexpr bool is_sep(char c) { return c == '/' || c == '\\'; }

constexpr bool is_letter(char c) {
    auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
}

// Position just after the last separator, or 0.
size_t name_offset(const char* path) {
    size_t at = 0;
    for (size_t i = 0; path[i]; ++i)
        if (is_sep(path[i])) at = i + 1;
    return at;
}

}  // namespace

char* path_set_sep(char* path, char sep) {
    if (!path) return path;
    const char other = sep == '/' ? '\\' : '/';
    size_t o = 0;
    for (size_t i = 0; path[i]; ++i) {
        char c = path[i] == other ? sep : path[i];
        if (c == sep && o > 0 && path[o - 1] == sep) continue;
        path[o++] = c;
    }
    path[o] = 0;
    return path;
}

char* path_to_slash(char* path) { return path_set_sep(path, '/'); }

char* path_normalize(char* path) {
    if (!path) return path;
    str_trim_unquote(path);
    for (char* p = path; *p; ++p)
        if (*p == '\\') *p = '/';
    constexpr char prefix[] = "file://";
    constexpr size_t plen = sizeof prefix - 1;
    if (strncmp(path, prefix, plen) == 0) memmove(path, path + plen, strlen(path + plen) + 1);
    return path_set_sep(path, '/');
}

char* path_normalize_local(char* path) {
    if (!path) return path;
    constexpr char prefix[] = "file://";
    constexpr size_t plen = sizeof prefix - 1;
    if (strncmp(path, prefix, plen) == 0) memmove(path, path + plen, strlen(path + plen) + 1);
    size_t o = 0;
    for (size_t i = 0; path[i]; ++i) {
        if (path[i] == '/' && o > 0 && path[o - 1] == '/') continue;
        path[o++] = path[i];
    }
    path[o] = 0;
    return path;
}

char* path_normalize_copy(const char* src, char* buf, size_t size) {
    if (str_safecopy(buf, size, src) != 0) return nullptr;
    return path_normalize(buf);
}

const char* path_get_name(const char* path) { return path ? path + name_offset(path) : path; }

char* path_cut_name(char* path) {
    if (!path) return path;
    size_t at = name_offset(path);
    if (at) path[at] = 0;
    return path;
}

int path_is_absolute(const char* path) {
    if (!PL_CHECK("pal", path)) return 0;
    if (path[0] == '/' || path[0] == '\\' || path[0] == '~') return 1;
    if (is_letter(path[0]) && path[1] == ':') return 1;
    if (strstr(path, "://") || strstr(path, ":\\\\")) return 1;
    return 0;
}

int path_is_same(const char* a, const char* b) {
    char pa[PATH_SIZE], pb[PATH_SIZE];
    if (!path_normalize_copy(a, pa, sizeof pa) || !path_normalize_copy(b, pb, sizeof pb)) return 0;
    return strcmp(pa, pb) == 0 ? 1 : 0;
}

int path_is_same_dir(const char* a, const char* b) {
    char pa[PATH_SIZE], pb[PATH_SIZE];
    if (str_safecopy(pa, a) != 0 || str_safecopy(pb, b) != 0) return 0;
    // The directory of a bare name is the current one: the empty text.
    pa[name_offset(pa)] = 0;
    pb[name_offset(pb)] = 0;
    return strcmp(path_normalize(pa), path_normalize(pb)) == 0 ? 1 : 0;
}

int path_is_root(const char* path) {
    char p[PATH_SIZE];
    if (str_safecopy(p, path) != 0) return 0;
    for (char* c = p; *c; ++c)
        if (*c == '/') *c = '\\';
    for (const char* root : {"\\", "\\\\", "\\\\\\", "\\\\.\\", "\\\\?\\"})
        if (strcmp(p, root) == 0) return 1;
    return 0;
}

char* path_quote(char* path, size_t size) {
    if (!path) return path;
    size_t len = strnlen(path, size);
    if (len == size) return nullptr;
    if (len == 0) {
        if (size < 3) return nullptr;
        memcpy(path, "\"\"", 3);
        return path;
    }
    if (path[0] == '"' || !strpbrk(path, " \t;")) return path;
    if (len + 3 > size) return nullptr;
    memmove(path + 1, path, len);
    path[0] = '"';
    path[len + 1] = '"';
    path[len + 2] = 0;
    return path;
}

char* path_realpath(const char* path, char* buf) {
    if (!path || !buf) return nullptr;
    return realpath(path, buf);
}

int path_wide_to_backslash(uint32_t* path) {
    if (!path) return 1;
    size_t o = 0;
    for (size_t i = 0; path[i]; ++i) {
        uint32_t c = path[i] == '/' ? '\\' : path[i];
        if (c == '\\' && o > 0 && path[o - 1] == '\\') continue;
        path[o++] = c;
    }
    path[o] = 0;
    return 1;
}

#include "libpal/string/str_safe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_util.h"
#include "liblog/log2.h"

namespace {

constexpr const char* k_dest_expr = "(dest) != NULL && (size) > 0";

// "expr[%s]: %s" under the given function name, then the assertion hook.
void expr_fail(const char* func, int32_t line, const char* what) {
    log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, line, func, "expr[%s]: %s\n", "_Expr_val", what);
    pl_assert_hook();
}

int fail_errno(int code) {
    errno = code;
    return code;
}

void overflow_report(const char* func, size_t need, size_t size, const char* src) {
    char head[16];
    str_get_head(src, head, sizeof head);
    log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, func, "need_size=%d buf_size=%u head=[%s]\n",
                static_cast<int>(need), static_cast<unsigned>(size), head);
    pl_assert_hook();
}

}  // namespace

int str_safecopy_imp(char* dest, size_t size, const char* src, int strict) {
    if (!dest || size == 0) {
        expr_fail(__func__, __LINE__, k_dest_expr);
        return fail_errno(EINVAL);
    }
    if (!src) {
        dest[0] = 0;
        expr_fail(__func__, __LINE__, "(src) != NULL");
        return fail_errno(EINVAL);
    }
    for (size_t i = 0; i < size; ++i) {
        dest[i] = src[i];
        if (src[i] == 0) return 0;
    }
    if (!strict) {
        dest[size - 1] = 0;
        return 0;
    }
    overflow_report(__func__, strlen(src) + 1, size, src);
    dest[0] = 0;
    return fail_errno(ERANGE);
}

int str_safecopy(char* dest, size_t size, const char* src) { return str_safecopy_imp(dest, size, src, 1); }

int str_safecopy_trunc(char* dest, size_t size, const char* src) { return str_safecopy_imp(dest, size, src, 0); }

size_t str_lcpy(char* dest, const char* src, size_t size) {
    if (str_safecopy_imp(dest, size, src, 0) != 0) return size;
    return strlen(src);
}

int str_safecat_imp(char* dest, size_t size, const char* src, int strict) {
    if (!dest || size == 0) {
        expr_fail(__func__, __LINE__, k_dest_expr);
        return fail_errno(EINVAL);
    }
    if (!src) {
        dest[0] = 0;
        expr_fail(__func__, __LINE__, "(src) != NULL");
        return fail_errno(EINVAL);
    }
    const void* end = memchr(dest, 0, size);
    if (!end) {
        dest[0] = 0;
        expr_fail(__func__, __LINE__, "(\"String is not null terminated\" && 0)");
        return fail_errno(EINVAL);
    }
    size_t len = static_cast<size_t>(static_cast<const char*>(end) - dest);
    for (size_t i = 0; len + i < size; ++i) {
        dest[len + i] = src[i];
        if (src[i] == 0) return 0;
    }
    if (!strict) {
        dest[size - 1] = 0;
        return 0;
    }
    overflow_report(__func__, len + strlen(src) + 1, size, src);
    dest[0] = 0;
    return fail_errno(ERANGE);
}

int str_safecat(char* dest, size_t size, const char* src) { return str_safecat_imp(dest, size, src, 1); }

int str_safecat_trunc(char* dest, size_t size, const char* src) { return str_safecat_imp(dest, size, src, 0); }

int str_safecat_chr(char* dest, size_t size, char c) {
    const char one[2] = {c, 0};
    return str_safecat(dest, size, one);
}

int32_t str_vsprintf_s(char* dest, size_t size, const char* fmt, va_list ap) {
    if (!dest || size == 0) {
        log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, "str_sprintf_s", "expr[%s]: %s\n", "_Expr_val",
                    k_dest_expr);
        pl_assert_hook();
        return fail_errno(EINVAL);
    }
    int n = vsnprintf(dest, size, fmt, ap);
    if (n < 0) {
        int e = errno;
        dest[0] = 0;
        char etext[256];
        log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, "str_sprintf_s", "buf_size=%u fmt=[%s] eno=[%d] [%s]\n",
                    static_cast<unsigned>(size), fmt, e, os_strerror_r(e, etext, sizeof etext));
        pl_assert_hook();
        return n;
    }
    if (static_cast<size_t>(n) < size) return n;
    log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, "str_sprintf_s", "need_size=%u buf_size=%u fmt=[%s]\n",
                static_cast<unsigned>(n) + 1, static_cast<unsigned>(size), fmt);
    pl_assert_hook();
    return n;
}

int32_t str_sprintf_s(char* dest, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int32_t n = str_vsprintf_s(dest, size, fmt, ap);
    va_end(ap);
    return n;
}

int32_t strcat_vprintf(char* dest, size_t size, const char* fmt, va_list ap) {
    if (!dest || size == 0) {
        log2_printf(nullptr, LOG2_ERR, "pal", __FILE__, __LINE__, "strcat_printf", "expr[%s]: %s\n", "_Expr_val",
                    k_dest_expr);
        pl_assert_hook();
        return fail_errno(EINVAL);
    }
    const void* end = memchr(dest, 0, size);
    if (!end) return -1;
    size_t len = static_cast<size_t>(static_cast<const char*>(end) - dest);
    size_t room = size - len;
    int n = vsnprintf(dest + len, room, fmt, ap);
    if (n >= 0 && static_cast<size_t>(n) < room) return static_cast<int32_t>(len + n);
    pl_assert_fail("pal", __FILE__, __LINE__, "strcat_vprintf", "ret<clen");
    return static_cast<int32_t>(len + n);
}

int32_t strcat_printf(char* dest, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int32_t n = strcat_vprintf(dest, size, fmt, ap);
    va_end(ap);
    return n;
}

namespace {

[[noreturn]] void bail(const char* func, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void bail(const char* func, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log2_vprintf(nullptr, LOG2_CRIT, "pal", __FILE__, __LINE__, func, fmt, ap);
    va_end(ap);
    // A crit line ends the process; this is reached only when it was filtered out.
    _exit(1);
}

}  // namespace

void* safe_malloc(size_t size) {
    void* p = pl_malloc(size);
    if (!p) bail(__func__, "Failed to malloc %d bytes of memory: %s. Bailing out", static_cast<int>(size), os_strerror());
    memset(p, 0, size);
    return p;
}

void* safe_calloc(size_t count, size_t size) {
    void* p = pl_calloc(count, size);
    if (!p)
        bail(__func__, "Failed to calloc %d-%d bytes of memory: %s. Bailing out", static_cast<int>(count),
             static_cast<int>(size), os_strerror());
    return p;
}

void* safe_realloc(void* block, size_t size) {
    void* p = pl_realloc(block, size);
    if (!p && size)
        bail(__func__, "Failed to realloc buffer to %d bytes of memory: %s. Bailing out", static_cast<int>(size),
             os_strerror());
    return p;
}

char* safe_strdup(const char* text) {
    if (!text) bail(__func__, "safe_strdup called with NULL which would have crashed strdup. Bailing out");
    char* p = pl_strdup(text);
    if (!p) bail(__func__, "Failed to duplicate a string: %s. Bailing out", os_strerror());
    return p;
}

int safe_vasprintf(char** out, const char* fmt, va_list ap) {
    int n = os_vasprintf(out, fmt, ap);
    if (n == -1) bail(__func__, "Failed to vasprintf: %s. Bailing out", os_strerror());
    return n;
}

int safe_asprintf(char** out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = safe_vasprintf(out, fmt, ap);
    va_end(ap);
    return n;
}

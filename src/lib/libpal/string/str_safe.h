// Bounded copies, appends and formatted prints. Every function takes the
// destination's size (terminator included) and never writes past it.
//
// Strict forms treat an overflow as a programming error: they log it, call
// the assertion hook, leave an empty destination and return 34 (ERANGE).
// Invalid arguments give 22 (EINVAL). Both results are also stored in errno.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

int str_safecopy_imp(char* dest, size_t size, const char* src, int strict);
[[nodiscard]] int str_safecopy(char* dest, size_t size, const char* src);
int str_safecopy_trunc(char* dest, size_t size, const char* src);
size_t str_lcpy(char* dest, const char* src, size_t size);

int str_safecat_imp(char* dest, size_t size, const char* src, int strict);
[[nodiscard]] int str_safecat(char* dest, size_t size, const char* src);
int str_safecat_trunc(char* dest, size_t size, const char* src);
[[nodiscard]] int str_safecat_chr(char* dest, size_t size, char c);

// Formats into dest; returns the length the whole text needed (the text is
// cut to fit), a negative value on a formatting error, 22 on invalid arguments.
int32_t str_sprintf_s(char* dest, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int32_t str_vsprintf_s(char* dest, size_t size, const char* fmt, va_list ap) __attribute__((format(printf, 3, 0)));
// Formats after the text already in dest; returns old length + formatted
// length, -1 when dest holds no terminated text, 22 on invalid arguments.
int32_t strcat_printf(char* dest, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int32_t strcat_vprintf(char* dest, size_t size, const char* fmt, va_list ap) __attribute__((format(printf, 3, 0)));

// Allocation wrappers that end the process (crit log, status 1) on failure.
void* safe_malloc(size_t size);
void* safe_calloc(size_t count, size_t size);
void* safe_realloc(void* block, size_t size);
char* safe_strdup(const char* text);
int safe_vasprintf(char** out, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int safe_asprintf(char** out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Copy into a fixed array: the size comes from the array itself.
template <size_t N>
[[nodiscard]] inline int str_safecopy(char (&dest)[N], const char* src) {
    return str_safecopy(dest, N, src);
}

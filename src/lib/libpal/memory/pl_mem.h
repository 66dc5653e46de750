// The counting allocator: every block of the system comes from here.
//
// Each block carries a 16-byte header in front of the caller's bytes (the
// requested size and a check word), so that the caller's pointer keeps the
// 16-byte alignment of the system allocator. Process-wide counters of live
// blocks and bytes, with their peaks, are kept as relaxed atomics.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>


// System allocator wrappers: no header, no statistics; failures are logged.
void* _malloc(size_t size);
void* _realloc(void* block, size_t size);
void _free(void* block);
void* _zalloc(size_t size);

// Counting allocator. A request whose size (with the header) does not fit
// fails with nothing.
void* pl_malloc(size_t size);
void pl_free(void* block);
void* pl_zalloc(size_t size);
void* pl_calloc(size_t count, size_t size);
void* pl_realloc(void* block, size_t size);
void* pl_memdup(const void* src, size_t size);
char* pl_strdup(const char* text);
size_t pl_strnlen(const char* text, size_t limit);
char* pl_strndup(const char* text, size_t limit);

// Blocks aligned to a power of two; released with pl_aligned_free.
void* pl_aligned_alloc(size_t size, size_t alignment);
void pl_aligned_free(void* ptr);

// Allocating formatted print: *out gets a new text (or nothing); the result
// is the length, or -1.
using pl_alloc_fn = void* (*)(size_t);
int os_vasprintf_imp(char** out, const char* fmt, va_list ap, pl_alloc_fn alloc) __attribute__((format(printf, 2, 0)));
int os_vasprintf(char** out, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int os_asprintf(char** out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int os_vasprintf_sys(char** out, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// Statistics.
struct pl_mem_stat {
    uint64_t malloc_count;
    uint64_t malloc_bytes;
    uint64_t malloc_max_size;
    uint64_t malloc_max_count;
    uint64_t malloc_max_bytes;
};
pl_mem_stat pl_mem_stat_get();
// The statistics as five "name=value" lines in a new text buffer the caller
// frees with text_buf_free.
struct text_buf;
text_buf* pl_mem_stat_str();
// Closes the process-wide logger; 1 when blocks are still allocated, else 0.
int pl_mem_exit();

// RAII owner of a counting-allocator block.
struct pl_mem_deleter {
    void operator()(void* p) const noexcept { pl_free(p); }
};
struct pl_aligned_deleter {
    void operator()(void* p) const noexcept { pl_aligned_free(p); }
};

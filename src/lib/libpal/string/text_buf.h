// Growable text buffer: collects output of any length. The text is always
// terminated and the bytes past it are zero; the block grows in steps of
// TEXT_BUF_STEP bytes.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr size_t TEXT_BUF_STEP = 4096;

struct text_buf {
    char* data;  // the text, always terminated; zero-filled beyond it
    size_t len;  // length of the text
    size_t cap;  // bytes allocated for data
};

// A zeroed record with a zeroed block of TEXT_BUF_STEP bytes, or nothing.
text_buf* text_buf_new();
// Grows data to at least need bytes (whole steps; new bytes zeroed). Ends
// the process when memory runs out.
void text_buf_grow(text_buf* buf, size_t need);
// Appends n bytes and terminates the text; n = 0 does nothing. Returns 0, or
// -1 for an absent argument.
int text_buf_add(text_buf* buf, const void* bytes, size_t n);
int text_buf_add_str(text_buf* buf, const char* text);
int text_buf_add_chr(text_buf* buf, char c);
// Appends the formatted text; returns its length (a negative result appends
// nothing).
int text_buf_printf(text_buf* buf, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int text_buf_vprintf(text_buf* buf, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
// Empties the text and zeroes the whole block.
void text_buf_clear(text_buf* buf);
// The text, or nothing when it is empty.
const char* text_buf_str(const text_buf* buf);
// Removes the last character; returns the old length (0 when empty).
size_t text_buf_pop(text_buf* buf);
// Removes the last min(n, len) characters.
void text_buf_cut(text_buf* buf, size_t n);
// Frees the record and hands the text to the caller (pl_free); an empty text
// is freed and nothing returned.
char* text_buf_detach(text_buf* buf);
// text_buf_detach, but an empty result is a new empty text.
char* text_buf_detach_str(text_buf* buf);
// Frees the text and the record.
void text_buf_free(text_buf* buf);

// RAII owner: std::unique_ptr<text_buf, text_buf_deleter>.
struct text_buf_deleter {
    void operator()(text_buf* b) const noexcept { text_buf_free(b); }
};

// Bounded copies of texts and pieces, one after the other, into a flat
// buffer (the string part of a binary record).
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// Copies len bytes: len, or -1 (an assertion message) when len exceeds size.
int64_t mem_add_str(void* buf, size_t size, const void* src, size_t len);

// Every text with its terminator, one after the other, up to the first
// absent text: the bytes written, or -1 when they do not all fit.
int64_t mem_add_strv(void* buf, size_t size, const char* const* texts, size_t count);
// The same for pieces.
int64_t mem_add_iov(void* buf, size_t size, const iovec* pieces, size_t count);

// As above without failure: each piece is copied while it fits; a piece that
// fills or overflows the rest of the buffer is cut there, its last copied
// byte set to 0, and the copying stops. The bytes written.
int64_t mem_add_strv_trunc(void* buf, size_t size, const char* const* texts, size_t count);
int64_t mem_add_iov_trunc(void* buf, size_t size, const iovec* pieces, size_t count);

// mem_add_strs(buf, size, "a", "b", ...): the texts as a list (a closing
// nullptr, if given, ends it).
template <class... Texts>
int64_t mem_add_strs(void* buf, size_t size, Texts... texts) {
    const char* list[] = {texts..., nullptr};
    return mem_add_strv(buf, size, list, sizeof...(texts));
}
template <class... Texts>
int64_t mem_add_strs_trunc(void* buf, size_t size, Texts... texts) {
    const char* list[] = {texts..., nullptr};
    return mem_add_strv_trunc(buf, size, list, sizeof...(texts));
}

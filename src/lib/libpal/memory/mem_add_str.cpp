#include "libpal/memory/mem_add_str.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"

namespace {

// Calls piece(i, &ptr, &len) for every piece until it gives false.
template <class Piece>
int64_t add_all(void* buf, size_t size, size_t count, Piece piece) {
    auto* out = static_cast<uint8_t*>(buf);
    size_t pos = 0;
    for (size_t i = 0; i < count; i++) {
        const void* p;
        size_t len;
        if (!piece(i, &p, &len)) break;
        int64_t n = mem_add_str(out + pos, size - pos, p, len);
        if (n < 0) return -1;
        pos += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(pos);
}

template <class Piece>
int64_t add_all_trunc(void* buf, size_t size, size_t count, Piece piece) {
    auto* out = static_cast<uint8_t*>(buf);
    if (!out) return 0;
    size_t pos = 0;
    for (size_t i = 0; i < count && pos < size; i++) {
        const void* p;
        size_t len;
        if (!piece(i, &p, &len)) break;
        size_t rest = size - pos;
        if (len < rest) {
            if (len) memcpy(out + pos, p, len);
            pos += len;
            continue;
        }
        memcpy(out + pos, p, rest);
        out[size - 1] = 0;
        pos = size;
    }
    return static_cast<int64_t>(pos);
}

auto text_piece(const char* const* texts) {
    return [texts](size_t i, const void** p, size_t* len) {
        if (!texts || !texts[i]) return false;
        *p = texts[i];
        *len = strlen(texts[i]) + 1;
        return true;
    };
}

auto iov_piece(const iovec* pieces) {
    return [pieces](size_t i, const void** p, size_t* len) {
        if (!pieces) return false;
        *p = pieces[i].iov_base;
        *len = pieces[i].iov_base ? pieces[i].iov_len : 0;
        return true;
    };
}

}  // namespace

int64_t mem_add_str(void* buf, size_t size, const void* src, size_t len) {
    if (!PL_CHECK_TEXT("pal", len <= size, "slen <= blen")) return -1;
    if (len == 0) return 0;
    if (!buf || !src) return -1;
    memcpy(buf, src, len);
    return static_cast<int64_t>(len);
}

int64_t mem_add_strv(void* buf, size_t size, const char* const* texts, size_t count) {
    return add_all(buf, size, count, text_piece(texts));
}

int64_t mem_add_iov(void* buf, size_t size, const iovec* pieces, size_t count) {
    return add_all(buf, size, count, iov_piece(pieces));
}

int64_t mem_add_strv_trunc(void* buf, size_t size, const char* const* texts, size_t count) {
    return add_all_trunc(buf, size, count, text_piece(texts));
}

int64_t mem_add_iov_trunc(void* buf, size_t size, const iovec* pieces, size_t count) {
    return add_all_trunc(buf, size, count, iov_piece(pieces));
}

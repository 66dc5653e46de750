// Message bodies: the build buffer, the named-field writers, the attribute
// check and the parse by policy table.
#include "libkxsd/blobmsg.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "libpal/memory/pl_mem.h"

namespace {

int32_t head_offset(const msg_buf* b) { return static_cast<int32_t>(msg_attr_bytes(b->head) - b->buf); }

void set_raw_len(msg_attr* a, int32_t raw) {
    uint32_t word = msg_attr_word(a);
    be_put32(msg_attr_bytes(a), (word & ~MSG_ATTR_LEN_MASK) | static_cast<uint32_t>(raw));
}

// Makes room for an attribute of payload bytes p (name header included) at
// the end of the head, writes its word and zero padding and adds its padded
// length to the head. The attribute's offset in the buffer, or -1.
int64_t attr_append(msg_buf* b, uint32_t type, int64_t p) {
    if (!b->buf || !b->head || p < 0 || type > 0x7f) return -1;
    const int64_t raw = 4 + p;
    if (raw > MSG_ATTR_MAX_LEN) return -1;
    const int64_t padded = (raw + 3) & ~int64_t{3};
    const int32_t hoff = head_offset(b);
    const int32_t hraw = msg_attr_raw_len(b->head);
    if (hraw + padded > MSG_ATTR_MAX_LEN) return -1;
    const int64_t start = hoff + msg_pad_len(hraw);
    const int64_t end = start + padded;
    // Every enclosing attribute ends here too, the root (at offset 0) the
    // longest of them.
    if (end > MSG_ATTR_MAX_LEN) return -1;
    if (end > b->buflen) {
        if (!b->grow(b, static_cast<int32_t>(end - b->buflen))) return -1;
        b->head = reinterpret_cast<msg_attr*>(b->buf + hoff);
        if (end > b->buflen) return -1;
    }
    uint8_t* at = b->buf + start;
    be_put32(at, type << MSG_ATTR_TYPE_SHIFT | static_cast<uint32_t>(raw));
    std::memset(at + raw, 0, static_cast<size_t>(padded - raw));
    set_raw_len(b->head, static_cast<int32_t>(hraw + padded));
    return start;
}

// A named attribute with room for len payload bytes; its offset, or -1.
int64_t named_append(msg_buf* b, uint32_t type, const char* name, int32_t len) {
    if (len < 0) return -1;
    const size_t n = name ? std::strlen(name) : 0;
    if (n > 0xffff) return -1;
    const int32_t hdr = blobmsg_hdr_len(static_cast<int32_t>(n));
    const int64_t off = attr_append(b, type, int64_t{hdr} + len);
    if (off < 0) return -1;
    uint8_t* at = b->buf + off;
    at[0] |= 0x80;
    be_put16(at + 4, static_cast<uint16_t>(n));
    if (n) std::memcpy(at + 6, name, n);
    std::memset(at + 6 + n, 0, static_cast<size_t>(hdr) - 2 - n);  // NUL and zero fill
    return off;
}

}  // namespace

bool msg_buf_grow_default(msg_buf* buf, int32_t missing) {
    if (!buf || missing <= 0 || buf->buflen < 0) return false;
    const int64_t newlen = int64_t{buf->buflen} + (missing & ~int32_t{255}) + 256;
    if (newlen > std::numeric_limits<int32_t>::max()) return false;
    auto* p = static_cast<uint8_t*>(pl_realloc(buf->buf, static_cast<size_t>(newlen)));
    if (!p) return false;
    std::memset(p + buf->buflen, 0, static_cast<size_t>(newlen - buf->buflen));
    buf->buf = p;
    buf->buflen = static_cast<int32_t>(newlen);
    return true;
}

int msg_buf_init(msg_buf* buf, uint32_t root_type) {
    if (!buf || root_type > 0x7f) return -1;
    if (!buf->grow) buf->grow = msg_buf_grow_default;
    if (!buf->buf) buf->buflen = 0;
    if (buf->buflen < 4) {
        buf->head = nullptr;
        if (!buf->grow(buf, 4 - buf->buflen) || !buf->buf || buf->buflen < 4) return -1;
    }
    buf->head = reinterpret_cast<msg_attr*>(buf->buf);
    be_put32(buf->buf, root_type << MSG_ATTR_TYPE_SHIFT | 4u);
    return 0;
}

void msg_buf_free(msg_buf* buf) {
    if (!buf) return;
    pl_free(buf->buf);
    buf->buf = nullptr;
    buf->head = nullptr;
    buf->buflen = 0;
}

int32_t msg_buf_len(const msg_buf* buf) {
    return buf && buf->buf && buf->head ? msg_attr_pad_len(reinterpret_cast<const msg_attr*>(buf->buf)) : 0;
}

int blobmsg_add_field(msg_buf* buf, uint32_t type, const char* name, const void* data, int32_t len) {
    if (!buf || (len > 0 && !data)) return -1;
    const int64_t off = named_append(buf, type, name, len);
    if (off < 0) return -1;
    if (len > 0) std::memcpy(blobmsg_data(reinterpret_cast<msg_attr*>(buf->buf + off)), data, static_cast<size_t>(len));
    return 0;
}

int blobmsg_add_string(msg_buf* buf, const char* name, const char* text) {
    if (!text) text = "";
    const size_t n = std::strlen(text);
    if (n >= static_cast<size_t>(MSG_ATTR_MAX_LEN)) return -1;
    return blobmsg_add_field(buf, BLOBMSG_TYPE_STRING, name, text, static_cast<int32_t>(n + 1));
}

int blobmsg_add_i32(msg_buf* buf, const char* name, int32_t value) {
    uint8_t v[4];
    be_put32(v, static_cast<uint32_t>(value));
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT32, name, v, 4);
}

int blobmsg_add_i64(msg_buf* buf, const char* name, int64_t value) {
    uint8_t v[8];
    be_put64(v, static_cast<uint64_t>(value));
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT64, name, v, 8);
}

int blobmsg_add_binary(msg_buf* buf, const char* name, const void* data, int32_t len) {
    return blobmsg_add_field(buf, BLOBMSG_TYPE_BINARY, name, data, len);
}

msg_attr* blobmsg_add_alloc(msg_buf* buf, const char* name, int32_t len, void** data) {
    if (data) *data = nullptr;
    if (!buf) return nullptr;
    const int64_t off = named_append(buf, BLOBMSG_TYPE_BINARY, name, len);
    if (off < 0) return nullptr;
    auto* a = reinterpret_cast<msg_attr*>(buf->buf + off);
    if (data) *data = blobmsg_data(a);
    return a;
}

int blobmsg_set_len(msg_buf* buf, msg_attr* attr, int32_t len) {
    if (!buf || !buf->buf || !buf->head || !attr || len < 0) return -1;
    const int64_t off = msg_attr_bytes(attr) - buf->buf;
    const int32_t hoff = head_offset(buf);
    const int32_t hraw = msg_attr_raw_len(buf->head);
    // Only the head's last attribute can change length in place.
    if (off <= hoff || off + msg_attr_pad_len(attr) != hoff + hraw || !msg_attr_named(attr)) return -1;
    const int32_t old_raw = msg_attr_raw_len(attr);
    const int32_t old_len = blobmsg_data_len(attr);
    if (old_len < 0 || len > old_len) return -1;
    const int32_t new_raw = old_raw - old_len + len;
    set_raw_len(attr, new_raw);
    set_raw_len(buf->head, hraw - (msg_pad_len(old_raw) - msg_pad_len(new_raw)));
    return 0;
}

const uint8_t* blobmsg_data(const msg_attr* a) {
    const uint8_t* p = msg_attr_bytes(a);
    if (!msg_attr_named(a)) return p + 4;
    return p + 4 + blobmsg_hdr_len(be_get16(p + 4));
}

uint8_t* blobmsg_data(msg_attr* a) { return const_cast<uint8_t*>(blobmsg_data(static_cast<const msg_attr*>(a))); }

int32_t blobmsg_data_len(const msg_attr* a) {
    return msg_attr_raw_len(a) - static_cast<int32_t>(blobmsg_data(a) - msg_attr_bytes(a));
}

int blobmsg_check(const msg_attr* a, bool name_required) {
    if (!a || !msg_attr_named(a)) return 0;
    const uint8_t* p = msg_attr_bytes(a);
    const int32_t raw = msg_attr_raw_len(a);
    if (raw - 4 < 2) return 0;  // no room for the name length
    const int32_t n = be_get16(p + 4);
    if (n == 0 && name_required) return 0;
    if (n > raw - 6) return 0;
    // The whole name header must lie inside the attribute, or the payload
    // length would come out negative.
    const int32_t hdr = blobmsg_hdr_len(n);
    if (hdr > raw - 4) return 0;
    if (p[6 + n] != 0) return 0;
    const int32_t d = raw - 4 - hdr;
    const uint8_t* data = p + 4 + hdr;
    switch (msg_attr_type(a)) {
        case BLOBMSG_TYPE_UNSPEC:
        case BLOBMSG_TYPE_ARRAY:
        case BLOBMSG_TYPE_TABLE:
        case BLOBMSG_TYPE_BINARY: return 1;
        case BLOBMSG_TYPE_STRING: return d >= 1 && data[d - 1] == 0;
        case BLOBMSG_TYPE_INT64: return d == 8;
        case BLOBMSG_TYPE_INT32: return d == 4;
        case BLOBMSG_TYPE_INT16: return d == 2;
        case BLOBMSG_TYPE_INT8: return d == 1;
        default: return 0;
    }
}

int blobmsg_parse(const blobmsg_policy* policy, int rows, const msg_attr** out, const void* data, int32_t len) {
    if (!out || rows <= 0) return 0;
    for (int i = 0; i < rows; i++) out[i] = nullptr;
    if (!policy || !data) return 0;
    const auto* p = static_cast<const uint8_t*>(data);
    int32_t left = len;
    // An attribute needs at least its word; a tail of 1-3 bytes is not one.
    while (left >= 4) {
        const auto* a = reinterpret_cast<const msg_attr*>(p);
        const int32_t pad = msg_attr_pad_len(a);
        if (pad == 0 || pad > left) break;
        // Only a named attribute long enough to hold its name length has a
        // name to compare; anything else matches no row.
        if (msg_attr_named(a) && msg_attr_raw_len(a) >= 6) {
            const std::string_view name(reinterpret_cast<const char*>(p + 6),
                                        static_cast<size_t>(be_get16(p + 4)));
            const uint32_t type = msg_attr_type(a);
            for (int i = 0; i < rows; i++) {
                if (!policy[i].name) continue;
                if (policy[i].type != BLOBMSG_TYPE_UNSPEC && policy[i].type != type) continue;
                const std::string_view want(policy[i].name);
                if (want.size() != name.size()) continue;
                if (!blobmsg_check(a, true)) return 0;
                if (!out[i] && want == name) out[i] = a;
            }
        }
        p += pad;
        left -= pad;
    }
    return 0;
}

// ---- operations the client itself does not use

int blobmsg_parse_all(const blobmsg_policy* policy, int rows, const msg_attr** out, const void* data, int32_t len) {
    if (!out || rows <= 0) return 0;
    blobmsg_parse(policy, rows, out, data, len);
    for (int i = 0; i < rows; i++) {
        if (!out[i]) return -1;
    }
    return 0;
}

int blobmsg_parse_list(const blobmsg_policy* policy, int rows, const msg_attr** out, const void* data, int32_t len) {
    if (!out || rows <= 0) return 0;
    for (int i = 0; i < rows; i++) out[i] = nullptr;
    if (!policy || !data) return 0;
    const auto* p = static_cast<const uint8_t*>(data);
    int32_t left = len;
    int row = 0;
    while (left >= 4 && row < rows) {
        const auto* a = reinterpret_cast<const msg_attr*>(p);
        const int32_t pad = msg_attr_pad_len(a);
        if (pad == 0 || pad > left) break;
        if (policy[row].type == BLOBMSG_TYPE_UNSPEC || policy[row].type == msg_attr_type(a)) {
            if (!blobmsg_check(a, false)) return -1;
            out[row++] = a;
        }
        p += pad;
        left -= pad;
    }
    return 0;
}

int blobmsg_check_list(const msg_attr* a, uint32_t type) {
    if (type > BLOBMSG_TYPE_LAST || !blobmsg_check(a, false)) return 0;
    bool named = false;
    switch (msg_attr_type(a)) {
        case BLOBMSG_TYPE_TABLE: named = true; break;
        case BLOBMSG_TYPE_ARRAY: break;
        default: return 0;
    }
    const uint8_t* p = blobmsg_data(a);
    int32_t left = blobmsg_data_len(a);
    while (left > 0) {
        if (left < 4) return 0;
        const auto* m = reinterpret_cast<const msg_attr*>(p);
        const int32_t raw = msg_attr_raw_len(m);
        const int32_t pad = msg_pad_len(raw);
        // The member's own bytes must lie inside the list; only its
        // padding may run past the end of the payload.
        if (raw < 4 || raw > left) return 0;
        if (type != BLOBMSG_TYPE_UNSPEC && msg_attr_type(m) != type) return 0;
        if (!blobmsg_check(m, named)) return 0;
        if (pad >= left) break;
        p += pad;
        left -= pad;
    }
    return 1;
}

namespace {

// The head's position for a caller, and back to an offset (-1 when it
// names no attribute start before the head).
int64_t nest_cookie(const msg_buf* b) { return head_offset(b) + MSG_NEST_COOKIE; }

int64_t cookie_offset(const msg_buf* b, int64_t pos) {
    const int64_t off = pos - MSG_NEST_COOKIE;
    if (off < 0 || off >= head_offset(b) || (off & 3) != 0) return -1;
    return off;
}

}  // namespace

int64_t blobmsg_open_nested(msg_buf* buf, const char* name, bool array) {
    if (!buf || !buf->buf || !buf->head) return -1;
    const int64_t pos = nest_cookie(buf);
    const int64_t off = named_append(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, name, 0);
    if (off < 0) return -1;
    // The enclosing attribute counts only the word for now: the name header
    // is part of the nested attribute's length, added when it is closed.
    auto* a = reinterpret_cast<msg_attr*>(buf->buf + off);
    const int32_t hdr = blobmsg_hdr_len(be_get16(msg_attr_bytes(a) + 4));
    set_raw_len(buf->head, msg_attr_raw_len(buf->head) - hdr);
    buf->head = a;
    return pos;
}

int64_t msg_nest_start(msg_buf* buf, uint32_t type) {
    if (!buf || !buf->buf || !buf->head) return -1;
    const int64_t pos = nest_cookie(buf);
    const int64_t off = attr_append(buf, type, 0);
    if (off < 0) return -1;
    buf->head = reinterpret_cast<msg_attr*>(buf->buf + off);
    return pos;
}

int msg_nest_end(msg_buf* buf, int64_t pos) {
    if (!buf || !buf->buf || !buf->head) return -1;
    const int64_t off = cookie_offset(buf, pos);
    if (off < 0) return -1;
    auto* outer = reinterpret_cast<msg_attr*>(buf->buf + off);
    // The head must lie inside the attribute it is closed into.
    if (off + msg_attr_raw_len(outer) != head_offset(buf) + 4) return -1;
    const int64_t raw = int64_t{msg_attr_raw_len(outer)} + msg_attr_raw_len(buf->head) - 4;
    if (raw > MSG_ATTR_MAX_LEN) return -1;
    set_raw_len(outer, static_cast<int32_t>(raw));
    buf->head = outer;
    return 0;
}

int blobmsg_add_vprintf(msg_buf* buf, const char* name, const char* fmt, va_list ap) {
    if (!buf || !fmt) return -1;
    va_list measure;
    va_copy(measure, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n < 0 || n >= MSG_ATTR_MAX_LEN) return -1;
    const int64_t off = named_append(buf, BLOBMSG_TYPE_STRING, name, n + 1);
    if (off < 0) return -1;
    auto* text = reinterpret_cast<char*>(blobmsg_data(reinterpret_cast<msg_attr*>(buf->buf + off)));
    std::vsnprintf(text, static_cast<size_t>(n) + 1, fmt, ap);
    return 0;
}

int blobmsg_add_printf(msg_buf* buf, const char* name, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int rc = blobmsg_add_vprintf(buf, name, fmt, ap);
    va_end(ap);
    return rc;
}

namespace {

// The string reserved at the end of the head: its offset, or -1 when there
// is none (a named string whose raw length is its name header alone).
int64_t reserved_string(const msg_buf* b) {
    if (!b || !b->buf || !b->head) return -1;
    const int64_t off = head_offset(b) + msg_attr_pad_len(b->head);
    if (off + 6 > b->buflen) return -1;
    const auto* a = reinterpret_cast<const msg_attr*>(b->buf + off);
    if (!msg_attr_named(a) || msg_attr_type(a) != BLOBMSG_TYPE_STRING) return -1;
    const int32_t hdr = blobmsg_hdr_len(be_get16(msg_attr_bytes(a) + 4));
    if (msg_attr_raw_len(a) != 4 + hdr || off + 4 + hdr >= b->buflen) return -1;
    return off;
}

}  // namespace

char* blobmsg_string_reserve(msg_buf* buf, const char* name, int32_t maxlen) {
    if (!buf || maxlen < 0 || maxlen >= MSG_ATTR_MAX_LEN) return nullptr;
    const int32_t hraw = buf->head ? msg_attr_raw_len(buf->head) : 0;
    const int64_t off = named_append(buf, BLOBMSG_TYPE_STRING, name, maxlen + 1);
    if (off < 0) return nullptr;
    // Not part of the body until it is finished: the head keeps its length
    // and the attribute holds only its name header.
    set_raw_len(buf->head, hraw);
    auto* a = reinterpret_cast<msg_attr*>(buf->buf + off);
    set_raw_len(a, 4 + blobmsg_hdr_len(be_get16(msg_attr_bytes(a) + 4)));
    char* text = reinterpret_cast<char*>(blobmsg_data(a));
    text[0] = 0;
    return text;
}

char* blobmsg_string_enlarge(msg_buf* buf, int32_t maxlen) {
    if (maxlen < 0 || maxlen >= MSG_ATTR_MAX_LEN) return nullptr;
    const int64_t off = reserved_string(buf);
    if (off < 0) return nullptr;
    const int64_t text_off = off + msg_attr_raw_len(reinterpret_cast<msg_attr*>(buf->buf + off));
    const int64_t end = msg_pad_len(static_cast<int32_t>(text_off + maxlen + 1));
    if (end > MSG_ATTR_MAX_LEN) return nullptr;
    if (end > buf->buflen) {
        const int32_t hoff = head_offset(buf);
        if (!buf->grow(buf, static_cast<int32_t>(end - buf->buflen))) return nullptr;
        buf->head = reinterpret_cast<msg_attr*>(buf->buf + hoff);
        if (end > buf->buflen) return nullptr;
    }
    return reinterpret_cast<char*>(buf->buf + text_off);
}

int blobmsg_string_finish(msg_buf* buf) {
    const int64_t off = reserved_string(buf);
    if (off < 0) return -1;
    auto* a = reinterpret_cast<msg_attr*>(buf->buf + off);
    const int32_t hraw = msg_attr_raw_len(buf->head);
    const int64_t text_off = off + msg_attr_raw_len(a);
    // The text ends at its NUL, which must lie inside the buffer.
    const void* nul = std::memchr(buf->buf + text_off, 0, static_cast<size_t>(buf->buflen - text_off));
    if (!nul) return -1;
    const int64_t raw = static_cast<const uint8_t*>(nul) + 1 - (buf->buf + off);
    const int64_t padded = (raw + 3) & ~int64_t{3};
    if (raw > MSG_ATTR_MAX_LEN || off + padded > MSG_ATTR_MAX_LEN || hraw + padded > MSG_ATTR_MAX_LEN) return -1;
    if (off + padded > buf->buflen) {
        const int32_t hoff = head_offset(buf);
        if (!buf->grow(buf, static_cast<int32_t>(off + padded - buf->buflen))) return -1;
        buf->head = reinterpret_cast<msg_attr*>(buf->buf + hoff);
        if (off + padded > buf->buflen) return -1;
        a = reinterpret_cast<msg_attr*>(buf->buf + off);
    }
    set_raw_len(a, static_cast<int32_t>(raw));
    std::memset(buf->buf + off + raw, 0, static_cast<size_t>(padded - raw));
    set_raw_len(buf->head, static_cast<int32_t>(hraw + padded));
    return 0;
}

void* blobmsg_alloc_binary(msg_buf* buf, const char* name, int32_t len) {
    void* data = nullptr;
    return blobmsg_add_alloc(buf, name, len, &data) ? data : nullptr;
}

msg_attr* msg_put(msg_buf* buf, uint32_t type, const void* data, int32_t len) {
    if (!buf || len < 0 || (len > 0 && !data)) return nullptr;
    const int64_t off = attr_append(buf, type, len);
    if (off < 0) return nullptr;
    if (len > 0) std::memcpy(buf->buf + off + 4, data, static_cast<size_t>(len));
    return reinterpret_cast<msg_attr*>(buf->buf + off);
}

msg_attr* msg_put_raw(msg_buf* buf, const void* data, int32_t len) {
    if (!buf || !data || len < 4) return nullptr;
    const int64_t off = attr_append(buf, 0, len - 4);
    if (off < 0) return nullptr;
    std::memcpy(buf->buf + off, data, static_cast<size_t>(len));
    return reinterpret_cast<msg_attr*>(buf->buf + off);
}

namespace {

bool plain_payload_ok(uint32_t type, const uint8_t* data, int32_t len) {
    switch (type) {
        case MSG_TYPE_STRING: return len >= 1 && data[len - 1] == 0;
        case MSG_TYPE_INT8: return len == 1;
        case MSG_TYPE_INT16: return len == 2;
        case MSG_TYPE_INT32: return len == 4;
        case MSG_TYPE_INT64: return len == 8;
        default: return true;  // unspec, nested, binary; types above the last are not checked
    }
}

}  // namespace

int msg_parse(const msg_attr* attr, const msg_attr** out, const msg_attr_info* info, int max) {
    if (!attr || !out || max <= 0) return 0;
    for (int i = 0; i < max; i++) out[i] = nullptr;
    const int32_t raw = msg_attr_raw_len(attr);
    if (raw < 4) return 0;
    const uint8_t* p = msg_attr_bytes(attr) + 4;
    int32_t left = raw - 4;
    int found = 0;
    while (left >= 4) {
        const auto* a = reinterpret_cast<const msg_attr*>(p);
        const int32_t araw = msg_attr_raw_len(a);
        if (araw < 4 || araw > left) break;
        const int32_t pad = msg_pad_len(araw);
        const uint32_t id = msg_attr_type(a);
        const int32_t dlen = araw - 4;
        bool take = id < static_cast<uint32_t>(max);
        if (take && info) {
            const msg_attr_info& row = info[id];
            take = plain_payload_ok(row.type, p + 4, dlen) && !(row.minlen && static_cast<uint32_t>(dlen) < row.minlen) &&
                   !(row.maxlen && static_cast<uint32_t>(dlen) > row.maxlen) && (!row.validate || row.validate(&row, a));
        }
        if (take) {
            if (!out[id]) found++;
            out[id] = a;
        }
        if (pad >= left) break;
        p += pad;
        left -= pad;
    }
    return found;
}

bool msg_attr_equal(const msg_attr* a, const msg_attr* b) {
    if (!a || !b) return !a && !b;
    const int32_t pad = msg_attr_pad_len(a);
    return pad == msg_attr_pad_len(b) && std::memcmp(a, b, static_cast<size_t>(pad)) == 0;
}

msg_attr* msg_attr_copy(const msg_attr* a) {
    if (!a) return nullptr;
    const size_t pad = static_cast<size_t>(msg_attr_pad_len(a));
    void* p = pl_malloc(pad ? pad : 1);
    if (!p) return nullptr;
    std::memcpy(p, a, pad);
    return static_cast<msg_attr*>(p);
}

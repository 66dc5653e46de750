// Message bodies: the build buffer, the named-field writers, the attribute
// check and the parse by policy table.
#include "libkxsd/blobmsg.h"

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

// Message bodies of the remote storage protocol: a tree of typed,
// length-prefixed attributes whose words and integers are big-endian.
//
// Every attribute starts with one 32-bit big-endian word: bit 31 marks a
// named attribute, bits 24-30 hold the type and bits 0-23 the raw length
// (the word, the name header and the payload, without trailing padding). An
// attribute occupies its raw length rounded up to 4. A named attribute
// follows its word with a 2-byte name length n, the name, a NUL and zero
// bytes up to a multiple of 4 (header length (n + 6) & ~3), then the payload.
//
// Attributes are read and written byte by byte: a msg_attr pointer only
// marks where an attribute starts, its fields are never overlaid.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Types of a named attribute, with the payload each must have to be valid.
enum blobmsg_attr_type : uint32_t {
    BLOBMSG_TYPE_UNSPEC = 0,  // any bytes
    BLOBMSG_TYPE_ARRAY = 1,   // unnamed attributes (content not checked)
    BLOBMSG_TYPE_TABLE = 2,   // named attributes (content not checked)
    BLOBMSG_TYPE_BINARY = 3,  // any bytes, also none
    BLOBMSG_TYPE_STRING = 4,  // text with its NUL
    BLOBMSG_TYPE_INT64 = 5,   // exactly 8 bytes
    BLOBMSG_TYPE_INT32 = 6,   // exactly 4 bytes
    BLOBMSG_TYPE_INT16 = 7,   // exactly 2 bytes
    BLOBMSG_TYPE_INT8 = 8,    // exactly 1 byte
    BLOBMSG_TYPE_LAST = BLOBMSG_TYPE_INT8,
};

inline constexpr uint32_t MSG_ATTR_NAMED = 0x80000000u;
inline constexpr uint32_t MSG_ATTR_TYPE_SHIFT = 24;
inline constexpr uint32_t MSG_ATTR_TYPE_MASK = 0x7f000000u;
inline constexpr uint32_t MSG_ATTR_LEN_MASK = 0x00ffffffu;
// The longest raw length an attribute (and so a body) can have.
inline constexpr int32_t MSG_ATTR_MAX_LEN = 0xffffff;

// Where an attribute starts: a name for a position in a body, never
// defined, so that its bytes are only reached through msg_attr_bytes.
struct msg_attr;

// ---- big-endian loads and stores at any position
constexpr uint16_t be_get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
constexpr uint32_t be_get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
constexpr uint64_t be_get64(const uint8_t* p) {
    return static_cast<uint64_t>(be_get32(p)) << 32 | be_get32(p + 4);
}
constexpr void be_put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
constexpr void be_put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
constexpr void be_put64(uint8_t* p, uint64_t v) {
    be_put32(p, static_cast<uint32_t>(v >> 32));
    be_put32(p + 4, static_cast<uint32_t>(v));
}

// ---- one attribute's word
constexpr int32_t msg_pad_len(int32_t len) { return (len + 3) & ~3; }
// Length of the name header (length word, name, NUL, zero fill) of a name of n bytes.
constexpr int32_t blobmsg_hdr_len(int32_t n) { return (n + 6) & ~3; }

inline const uint8_t* msg_attr_bytes(const msg_attr* a) { return reinterpret_cast<const uint8_t*>(a); }
inline uint8_t* msg_attr_bytes(msg_attr* a) { return reinterpret_cast<uint8_t*>(a); }
inline uint32_t msg_attr_word(const msg_attr* a) { return be_get32(msg_attr_bytes(a)); }
inline bool msg_attr_named(const msg_attr* a) { return (msg_attr_word(a) & MSG_ATTR_NAMED) != 0; }
inline uint32_t msg_attr_type(const msg_attr* a) {
    return (msg_attr_word(a) & MSG_ATTR_TYPE_MASK) >> MSG_ATTR_TYPE_SHIFT;
}
inline int32_t msg_attr_raw_len(const msg_attr* a) {
    return static_cast<int32_t>(msg_attr_word(a) & MSG_ATTR_LEN_MASK);
}
inline int32_t msg_attr_pad_len(const msg_attr* a) { return msg_pad_len(msg_attr_raw_len(a)); }

// ---- the build buffer
struct msg_buf;
// (buffer, bytes missing) -> true when the buffer now holds at least that
// many more bytes. head stays valid: the buffer finds it again by offset.
using msg_buf_grow_fn = bool (*)(msg_buf* buf, int32_t missing);

struct msg_buf {
    msg_attr* head;        // the attribute being filled: the root, or the innermost open nesting
    msg_buf_grow_fn grow;  // none: msg_buf_init installs msg_buf_grow_default
    int32_t buflen;        // bytes allocated
    uint8_t* buf;          // counting-allocator storage, owned
};

// Enlarges by the shortfall rounded down to 256, plus 256; the new bytes are zero.
bool msg_buf_grow_default(msg_buf* buf, int32_t missing);

// Starts a body: a plain root attribute of the type with raw length 4 at
// the buffer start, reusing earlier storage. 0, or -1 when it cannot grow.
int msg_buf_init(msg_buf* buf, uint32_t root_type);
// Frees the storage; the buffer length becomes 0.
void msg_buf_free(msg_buf* buf);
// Padded length of the whole body (the root's padded length); 0 before init.
int32_t msg_buf_len(const msg_buf* buf);

// ---- writers: 0, or -1 when the buffer cannot hold the addition or the
// attribute (or the body) would pass MSG_ATTR_MAX_LEN. Nothing is added on
// failure; the next msg_buf_init starts a usable body either way.
int blobmsg_add_field(msg_buf* buf, uint32_t type, const char* name, const void* data, int32_t len);
int blobmsg_add_string(msg_buf* buf, const char* name, const char* text);
int blobmsg_add_i32(msg_buf* buf, const char* name, int32_t value);
int blobmsg_add_i64(msg_buf* buf, const char* name, int64_t value);
int blobmsg_add_binary(msg_buf* buf, const char* name, const void* data, int32_t len);

// Appends a named binary attribute with room for len payload bytes and sets
// *data to where its payload starts, to be filled in place. The attribute,
// or none (and *data none).
msg_attr* blobmsg_add_alloc(msg_buf* buf, const char* name, int32_t len, void** data);
// Trims the payload of the attribute last added by blobmsg_add_alloc to len
// bytes and corrects the root's length. 0; -1 (nothing changed) when attr
// is not the body's last attribute or len is negative or above the room
// that was reserved. The bytes after the new end are left as they are.
int blobmsg_set_len(msg_buf* buf, msg_attr* attr, int32_t len);

// ---- readers
// A policy row: a field name (none: the row takes no part) and a type (0: any).
struct blobmsg_policy {
    const char* name;
    uint32_t type;
};

// The name of a named attribute (NUL-terminated after blobmsg_check).
inline const char* blobmsg_name(const msg_attr* a) { return reinterpret_cast<const char*>(msg_attr_bytes(a) + 6); }
// Where the payload starts: after the word, and after the name header when named.
const uint8_t* blobmsg_data(const msg_attr* a);
uint8_t* blobmsg_data(msg_attr* a);
// Payload length; negative only for an attribute that blobmsg_check rejects.
int32_t blobmsg_data_len(const msg_attr* a);

// 1 when the named attribute is valid, 0 when not. The caller guarantees
// that its raw length of bytes are readable (as the parse does).
int blobmsg_check(const msg_attr* a, bool name_required);

// Fills out[0 .. rows-1] from the named attributes of the len bytes at data:
// the first valid attribute of each row's name and type (type 0: any). An
// attribute that matches a row's type and name length but is invalid ends
// the parse; the rows filled before it stay filled. Returns 0.
int blobmsg_parse(const blobmsg_policy* policy, int rows, const msg_attr** out, const void* data, int32_t len);

// Typed payload readers of attributes the parse returned.
inline int32_t blobmsg_get_i32(const msg_attr* a) { return static_cast<int32_t>(be_get32(blobmsg_data(a))); }
inline int64_t blobmsg_get_i64(const msg_attr* a) { return static_cast<int64_t>(be_get64(blobmsg_data(a))); }
inline const char* blobmsg_get_string(const msg_attr* a) { return reinterpret_cast<const char*>(blobmsg_data(a)); }

// ---- operations the client itself does not use

// Like blobmsg_parse, then -1 when any row stayed empty (a row without a
// name always does), else 0.
int blobmsg_parse_all(const blobmsg_policy* policy, int rows, const msg_attr** out, const void* data, int32_t len);
// Positional parse of the unnamed members of a list (an array's payload):
// the next attribute whose type matches row i (any type for a row of type
// 0) goes to out[i], then row i + 1 is looked for. A matching attribute
// that is not valid (blobmsg_check without a name) gives -1; the rows
// filled before it stay filled. Stops when every row is filled. 0 or -1.
int blobmsg_parse_list(const blobmsg_policy* policy, int rows, const msg_attr** out, const void* data, int32_t len);
// 1 when a is a valid array or table whose members all have the type (0:
// any) and are valid: named for a table, with or without a name in an
// array. A member that does not fit the payload makes the list invalid. 0
// otherwise.
int blobmsg_check_list(const msg_attr* a, uint32_t type);

// Nesting. A position handed out across a possible reallocation: the offset
// from the buffer start plus MSG_NEST_COOKIE, never a pointer.
inline constexpr int64_t MSG_NEST_COOKIE = 0x01234567;
// Opens a named array (array true) or table at the end of the head and
// makes it the head. The old head's position, or -1 (nothing added).
int64_t blobmsg_open_nested(msg_buf* buf, const char* name, bool array);
// The same for a plain attribute of the type.
int64_t msg_nest_start(msg_buf* buf, uint32_t type);
// Closes the head opened by blobmsg_open_nested or msg_nest_start: adds its
// length to the attribute at pos (the position they returned) and makes
// that the head again. 0, or -1 for a position that is not an enclosing
// attribute of the head.
int msg_nest_end(msg_buf* buf, int64_t pos);

// A string attribute formatted printf-style: measured first, then printed
// in place. 0 or -1.
int blobmsg_add_printf(msg_buf* buf, const char* name, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int blobmsg_add_vprintf(msg_buf* buf, const char* name, const char* fmt, va_list ap);

// A string attribute filled in place: blobmsg_string_reserve makes room for
// maxlen characters and their NUL at the end of the head (not yet part of
// the body, and the room starts as the empty text) and returns where the
// text goes; blobmsg_string_enlarge grows that room to maxlen characters
// and their NUL and returns where the text now is (the buffer may have
// moved); blobmsg_string_finish takes the text up to its NUL into the body.
// Nothing else may be added between the reserve and the finish. None, or
// -1 when the buffer cannot grow, no string is reserved, or the room holds
// no NUL.
char* blobmsg_string_reserve(msg_buf* buf, const char* name, int32_t maxlen);
char* blobmsg_string_enlarge(msg_buf* buf, int32_t maxlen);
int blobmsg_string_finish(msg_buf* buf);

// blobmsg_add_alloc that returns only where the payload starts (none on failure).
void* blobmsg_alloc_binary(msg_buf* buf, const char* name, int32_t len);

// Plain attributes. msg_put appends one of the type with len bytes copied
// from data; msg_put_raw appends len bytes (at least 4) of an attribute
// already encoded, word included, unchanged. The attribute, or none.
msg_attr* msg_put(msg_buf* buf, uint32_t type, const void* data, int32_t len);
msg_attr* msg_put_raw(msg_buf* buf, const void* data, int32_t len);

// Types of a plain attribute, with the payload each must have.
enum msg_attr_plain_type : uint32_t {
    MSG_TYPE_UNSPEC = 0,  // any bytes
    MSG_TYPE_NESTED = 1,  // attributes
    MSG_TYPE_BINARY = 2,  // any bytes
    MSG_TYPE_STRING = 3,  // at least 1 byte, the last one NUL
    MSG_TYPE_INT8 = 4,    // exactly 1 byte
    MSG_TYPE_INT16 = 5,   // exactly 2 bytes
    MSG_TYPE_INT32 = 6,   // exactly 4 bytes
    MSG_TYPE_INT64 = 7,   // exactly 8 bytes
    MSG_TYPE_LAST = MSG_TYPE_INT64,
};

// A row of msg_parse, for the attributes of one type (the row's index):
// the plain type their payload must fit (above MSG_TYPE_LAST: not checked),
// the smallest and largest payload length (0: no bound) and a check of
// their own (none: none).
struct msg_attr_info {
    uint32_t type;
    uint32_t minlen;
    uint32_t maxlen;
    bool (*validate)(const msg_attr_info* info, const msg_attr* a);
};

// Fills out[0 .. max-1]: out[t] is the last attribute of type t among the
// payload of attr that passes info[t] (no info: no checks); types from max
// on are skipped. A walk that meets a length below 4 or past the payload
// stops there. The number of types found.
int msg_parse(const msg_attr* attr, const msg_attr** out, const msg_attr_info* info, int max);

// Two attributes are equal when both are absent, or when they have the same
// padded length and the same bytes (padding included).
bool msg_attr_equal(const msg_attr* a, const msg_attr* b);
// A new allocation (pl_malloc; free with pl_free) holding the padded bytes
// of a; none when a is none or the allocation fails.
msg_attr* msg_attr_copy(const msg_attr* a);

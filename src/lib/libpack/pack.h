// Block packing: a fixed table of pack methods ("none" and "lz4") and a pack
// context that opens one method by name or id and packs and unpacks whole
// buffers with it. A packed block is the method's raw output with no header
// of its own; the caller keeps the packed length beside it.
//
// Lengths are byte counts. Packed lengths usually come from a file or a peer,
// so every unpack is bounded by the capacity the caller gives: a method never
// writes beyond it and fails instead. One context (and its method state)
// serves one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Method ids.
enum : uint32_t {
    PACK_NONE = 0,
    PACK_LZ4 = 1,
};

// One row of the method table.
struct pack_method {
    const char* name;
    uint32_t id;
    // (arg) -> method state, or none on failure.
    void* (*create)(void* arg);
    void (*destroy)(void* state);
    // -> packed length, <= 0 on failure.
    int64_t (*compress)(void* state, const void* src, int64_t len, void* dst, int64_t capacity);
    // -> unpacked length, < 0 on failure.
    int64_t (*decompress)(void* state, const void* src, int64_t zlen, void* dst, int64_t capacity);
};

// An opened method: its row and the state its create returned.
struct pack_handle {
    const pack_method* method;
    void* state;
};

// The pack context, embedded in its user's record and zeroed before use.
struct zcomp_ctx {
    pack_handle* handle;  // none while closed
    void* buf;            // page-aligned reusable buffer
    size_t buf_size;
    char name[16];        // the method's name; when non-empty the context opens by name
    uint32_t id;          // used when name is empty; set to the opened row's id
    void* arg;            // create argument
};

// ---- the method table
// The rows, in table order.
const pack_method* pack_methods(size_t* count);
// The row of a name (exact comparison) or an id; none when absent.
const pack_method* pack_find_name(const char* name);
const pack_method* pack_find_id(uint32_t id);
// A handle on the row with a new state (create argument none, or arg);
// none when the row is absent or its create fails.
pack_handle* pack_open_name(const char* name);
pack_handle* pack_open_name_arg(const char* name, void* arg);
pack_handle* pack_open_id(uint32_t id);
pack_handle* pack_open_id_arg(uint32_t id, void* arg);
// Destroys the state and frees the handle; none is accepted.
void pack_handle_free(pack_handle* h);
uint32_t pack_handle_id(const pack_handle* h);
int64_t pack_handle_compress(pack_handle* h, const void* src, int64_t len, void* dst, int64_t capacity);
int64_t pack_handle_decompress(pack_handle* h, const void* src, int64_t zlen, void* dst, int64_t capacity);

// ---- the pack context
// Closes whatever is open, then opens the row named by name (or, with an
// empty name, by id); 0, or -1 with the context closed.
int zcomp_open_ex(zcomp_ctx* ctx);
// Destroys the method state and frees the aligned buffer; 0.
int zcomp_close(zcomp_ctx* ctx);
// -> packed length (<= 0 on failure); -1 when the context is not open.
int64_t zcomp_pack(zcomp_ctx* ctx, const void* src, int64_t len, void* dst, int64_t capacity);
// -> unpacked length (at most capacity), < 0 on failure; -1 when the
// context is not open.
int64_t zcomp_unpack(zcomp_ctx* ctx, const void* src, int64_t zlen, void* dst, int64_t capacity);
// A buffer of at least size bytes aligned to the page size, kept in the
// context and reused while it is large enough; none on failure.
void* zcomp_alloc_align_pagesize(zcomp_ctx* ctx, size_t size);
// Unpacks into the context's aligned buffer (handed back in *out); 0 when
// exactly `expected` bytes come out, else -1.
int zcomp_unpack_buf(zcomp_ctx* ctx, const void* src, int64_t zlen, void** out, int64_t expected);
// The largest packed size of n bytes: n + n / 255 + 16; 0 above 0x7E000000.
uint64_t zcomp_bound(uint64_t n);
// Start-up of the layer; 0.
int zcomp_init();

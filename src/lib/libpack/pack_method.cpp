// The method table and method handles.
#include <lz4.h>

#include <climits>
#include <cstring>
#include <iterator>

#include "libpack/pack.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

namespace {

// "none": a plain copy. Its state is the non-null value 1.
void* none_create(void*) { return reinterpret_cast<void*>(1); }

void none_destroy(void*) {}

int64_t none_copy(void*, const void* src, int64_t len, void* dst, int64_t capacity) {
    // The length may come from a file or a peer: never copy past the buffer.
    if (len < 0 || len > capacity) {
        LOG2(LOG2_DBG, "pack", "len=%lld > capacity=%lld error\n", static_cast<long long>(len),
             static_cast<long long>(capacity));
        return -1;
    }
    if (len > 0) memmove(dst, src, static_cast<size_t>(len));
    return len;
}

// LZ4 takes int sizes; a capacity above that is only clamped, which is safe.
int lz4_capacity(int64_t capacity) { return capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity); }

void* lz4_create(void*) { return LZ4_createStream(); }

void lz4_destroy(void* state) { LZ4_freeStream(static_cast<LZ4_stream_t*>(state)); }

int64_t lz4_compress(void* state, const void* src, int64_t len, void* dst, int64_t capacity) {
    if (len < 0 || len > LZ4_MAX_INPUT_SIZE || capacity < 0) {
        LOG2(LOG2_DBG, "pack", "len=%lld error: max=%d\n", static_cast<long long>(len), LZ4_MAX_INPUT_SIZE);
        return -1;
    }
    return LZ4_compress_fast_extState(state, static_cast<const char*>(src), static_cast<char*>(dst),
                                      static_cast<int>(len), lz4_capacity(capacity), 17);
}

int64_t lz4_decompress(void*, const void* src, int64_t zlen, void* dst, int64_t capacity) {
    if (zlen < 0 || zlen > INT_MAX || capacity < 0) return -1;
    return LZ4_decompress_safe(static_cast<const char*>(src), static_cast<char*>(dst), static_cast<int>(zlen),
                               lz4_capacity(capacity));
}

constexpr pack_method k_methods[] = {
    {"none", PACK_NONE, &none_create, &none_destroy, &none_copy, &none_copy},
    {"lz4", PACK_LZ4, &lz4_create, &lz4_destroy, &lz4_compress, &lz4_decompress},
};

pack_handle* open_row(const pack_method* m, void* arg) {
    if (!m) return nullptr;
    void* state = m->create(arg);
    if (!state) {
        LOG2(LOG2_ERR, "pack", "create [%s] failed\n", m->name);
        return nullptr;
    }
    auto* h = static_cast<pack_handle*>(pl_zalloc(sizeof(pack_handle)));
    if (!h) {
        m->destroy(state);
        return nullptr;
    }
    h->method = m;
    h->state = state;
    return h;
}

}  // namespace

const pack_method* pack_methods(size_t* count) {
    if (count) *count = std::size(k_methods);
    return k_methods;
}

const pack_method* pack_find_name(const char* name) {
    if (!name) return nullptr;
    for (const pack_method& m : k_methods)
        if (strcmp(m.name, name) == 0) return &m;
    return nullptr;
}

const pack_method* pack_find_id(uint32_t id) {
    for (const pack_method& m : k_methods)
        if (m.id == id) return &m;
    return nullptr;
}

pack_handle* pack_open_name_arg(const char* name, void* arg) { return open_row(pack_find_name(name), arg); }
pack_handle* pack_open_name(const char* name) { return pack_open_name_arg(name, nullptr); }
pack_handle* pack_open_id_arg(uint32_t id, void* arg) { return open_row(pack_find_id(id), arg); }
pack_handle* pack_open_id(uint32_t id) { return pack_open_id_arg(id, nullptr); }

void pack_handle_free(pack_handle* h) {
    if (!h) return;
    h->method->destroy(h->state);
    pl_free(h);
}

uint32_t pack_handle_id(const pack_handle* h) { return h ? h->method->id : 0; }

int64_t pack_handle_compress(pack_handle* h, const void* src, int64_t len, void* dst, int64_t capacity) {
    if (!h || !src || !dst) return -1;
    return h->method->compress(h->state, src, len, dst, capacity);
}

int64_t pack_handle_decompress(pack_handle* h, const void* src, int64_t zlen, void* dst, int64_t capacity) {
    if (!h || !src || !dst) return -1;
    return h->method->decompress(h->state, src, zlen, dst, capacity);
}

#include <algorithm>
#include <cstring>

#include "libnet/net_chan.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"

net_mem_chan* net_mem_new() {
    auto* mem = static_cast<net_mem_chan*>(pl_malloc(sizeof(net_mem_chan)));
    if (!mem) return nullptr;
    *mem = net_mem_chan{};
    if (mem_buf_init(&mem->buf, MEM_BUF_STEP) != 0) {
        pl_free(mem);
        return nullptr;
    }
    return mem;
}

void net_mem_free(net_mem_chan* mem) {
    if (!mem) return;
    mem_buf_exit(&mem->buf);
    pl_free(mem);
}

int32_t net_mem_read(net_mem_chan* mem, void* buf, uint32_t len) {
    if (!PL_CHECK("net", mem && (buf || len == 0))) return -1;
    mem->wcount = 0;
    const uint64_t left = mem->buf.len - mem->rpos;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>({left, len, static_cast<uint64_t>(INT32_MAX)}));
    if (n) memcpy(buf, mem->buf.data + mem->rpos, n);
    mem->rpos += n;
    return static_cast<int32_t>(n);
}

int32_t net_mem_write(net_mem_chan* mem, const void* buf, uint32_t len) {
    if (!PL_CHECK("net", mem && (buf || len == 0))) return -1;
    if (len > static_cast<uint32_t>(INT32_MAX)) return -1;
    // A write after reads starts a fresh buffer; bytes not read yet are kept
    // at its front rather than dropped.
    if (mem->rpos) {
        const size_t left = mem->buf.len - mem->rpos;
        if (left) memmove(mem->buf.data, mem->buf.data + mem->rpos, left);
        mem->buf.len = left;
        mem->rpos = 0;
    }
    if (len && mem_buf_add(&mem->buf, buf, len) != 0) return -1;
    mem->wcount += len;
    return static_cast<int32_t>(len);
}

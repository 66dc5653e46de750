#include "libpal/memory/pl_mem.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/text_buf.h"
#include "liblog/log2.h"

namespace {

// In front of every counted block: the requested size and a check word,
// 16 bytes so that the caller's bytes keep the system allocator's alignment.
struct alignas(16) block_head {
    uint64_t size;
    uint64_t magic;
};
static_assert(sizeof(block_head) == 16);
constexpr uint64_t k_magic = 0x6b78646d656d3136ull;  // "kxdmem16"
constexpr uint64_t k_freed = 0x6672656564626c6bull;

std::atomic<uint64_t> g_count{0};
std::atomic<uint64_t> g_bytes{0};
std::atomic<uint64_t> g_max_size{0};
std::atomic<uint64_t> g_max_count{0};
std::atomic<uint64_t> g_max_bytes{0};

void raise_to(std::atomic<uint64_t>& peak, uint64_t v) {
    uint64_t cur = peak.load(std::memory_order_relaxed);
    while (v > cur && !peak.compare_exchange_weak(cur, v, std::memory_order_relaxed)) {
    }
}

// Subtracts without going below 0.
void lower_by(std::atomic<uint64_t>& c, uint64_t v) {
    uint64_t cur = c.load(std::memory_order_relaxed);
    while (!c.compare_exchange_weak(cur, cur > v ? cur - v : 0, std::memory_order_relaxed)) {
    }
}

void count_alloc(uint64_t size) {
    uint64_t n = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t b = g_bytes.fetch_add(size, std::memory_order_relaxed) + size;
    raise_to(g_max_size, size);
    raise_to(g_max_count, n);
    raise_to(g_max_bytes, b);
}

void alloc_failed(unsigned long long size) {
    errno = ENOMEM;
    LOG2(LOG2_ERR, "pal", "size=%llu malloc failed\n", size);
    pl_assert_hook();
    errno = ENOMEM;
}

block_head* head_of(void* block) { return static_cast<block_head*>(block) - 1; }

}  // namespace

void* _malloc(size_t size) {
    void* p = malloc(size ? size : 1);
    if (!p) alloc_failed(size);
    return p;
}

void* _realloc(void* block, size_t size) {
    void* p = realloc(block, size ? size : 1);
    if (!p) {
        errno = ENOMEM;
        LOG2(LOG2_ERR, "pal", "ptr=%p size=%llu realloc failed\n", block, static_cast<unsigned long long>(size));
        pl_assert_hook();
        errno = ENOMEM;
    }
    return p;
}

void _free(void* block) { free(block); }

void* _zalloc(size_t size) {
    void* p = _malloc(size);
    if (p) memset(p, 0, size);
    return p;
}

void* pl_malloc(size_t size) {
    if (size > (SIZE_MAX >> 1) - sizeof(block_head)) {
        alloc_failed(size);
        return nullptr;
    }
    auto* h = static_cast<block_head*>(_malloc(size + sizeof(block_head)));
    if (!h) return nullptr;
    h->size = size;
    h->magic = k_magic;
    count_alloc(size);
    return h + 1;
}

void pl_free(void* block) {
    if (!block) return;
    block_head* h = head_of(block);
    if (h->magic != k_magic) {
        // Not one of ours, or freed twice: leaking is safer than corrupting the heap.
        PL_CHECK_TEXT("pal", false, "pl_free: block not from pl_malloc");
        return;
    }
    uint64_t size = h->size;
    h->magic = k_freed;
    free(h);
    lower_by(g_count, 1);
    lower_by(g_bytes, size);
}

void* pl_zalloc(size_t size) {
    void* p = pl_malloc(size);
    if (p) memset(p, 0, size);
    return p;
}

void* pl_calloc(size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        alloc_failed(static_cast<unsigned long long>(count) * static_cast<unsigned long long>(size));
        return nullptr;
    }
    return pl_zalloc(total);
}

void* pl_realloc(void* block, size_t size) {
    if (!block) return pl_malloc(size);
    block_head* h = head_of(block);
    if (h->magic != k_magic) {
        PL_CHECK_TEXT("pal", false, "pl_realloc: block not from pl_malloc");
        return nullptr;
    }
    if (h->size >= size) {
        if (size == 0) {
            pl_free(block);
            return nullptr;
        }
        return block;  // blocks are never shrunk
    }
    void* n = pl_malloc(size);
    if (!n) return nullptr;  // the old block stays valid
    memcpy(n, block, h->size);
    pl_free(block);
    return n;
}

void* pl_memdup(const void* src, size_t size) {
    if (!src) return nullptr;
    void* p = pl_malloc(size);
    if (p) memcpy(p, src, size);
    return p;
}

char* pl_strdup(const char* text) {
    if (!text) return nullptr;
    size_t n = strlen(text);
    auto* p = static_cast<char*>(pl_malloc(n + 1));
    if (p) memcpy(p, text, n + 1);
    return p;
}

size_t pl_strnlen(const char* text, size_t limit) { return text ? strnlen(text, limit) : 0; }

char* pl_strndup(const char* text, size_t limit) {
    if (!text) return nullptr;
    size_t n = strnlen(text, limit);
    auto* p = static_cast<char*>(pl_malloc(n + 1));
    if (p) {
        memcpy(p, text, n);
        p[n] = 0;
    }
    return p;
}

void* pl_aligned_alloc(size_t size, size_t alignment) {
    if (!PL_CHECK("pal", alignment != 0 && (alignment & (alignment - 1)) == 0)) return nullptr;
    size_t total;
    if (__builtin_add_overflow(size, alignment + 7, &total)) {
        alloc_failed(size);
        return nullptr;
    }
    auto* raw = static_cast<char*>(pl_malloc(total));
    if (!raw) return nullptr;
    uintptr_t p = (reinterpret_cast<uintptr_t>(raw) + alignment + 7) & ~(static_cast<uintptr_t>(alignment) - 1);
    memcpy(reinterpret_cast<void*>(p - 8), &raw, sizeof raw);
    return reinterpret_cast<void*>(p);
}

void pl_aligned_free(void* ptr) {
    if (!ptr) return;
    void* raw;
    memcpy(&raw, static_cast<char*>(ptr) - 8, sizeof raw);
    pl_free(raw);
}

int os_vasprintf_imp(char** out, const char* fmt, va_list ap, pl_alloc_fn alloc) {
    if (!out) return -1;
    *out = nullptr;
    va_list cp;
    va_copy(cp, ap);
    int n = vsnprintf(nullptr, 0, fmt, cp);
    va_end(cp);
    if (n < 0) {
        LOG2(LOG2_ERR, "pal", "fmt=%s vsnprintf failed\n", fmt);
        pl_assert_hook();
        return -1;
    }
    auto* p = static_cast<char*>(alloc(static_cast<size_t>(n) + 1));
    if (!p) return -1;
    va_copy(cp, ap);
    int m = vsnprintf(p, static_cast<size_t>(n) + 1, fmt, cp);
    va_end(cp);
    if (m < 0) {
        LOG2(LOG2_ERR, "pal", "fmt=%s vsnprintf2 failed\n", fmt);
        pl_assert_hook();
        if (alloc == &pl_malloc) pl_free(p);
        else free(p);
        return -1;
    }
    *out = p;
    return m;
}

int os_vasprintf(char** out, const char* fmt, va_list ap) { return os_vasprintf_imp(out, fmt, ap, &pl_malloc); }

int os_asprintf(char** out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = os_vasprintf(out, fmt, ap);
    va_end(ap);
    return n;
}

int os_vasprintf_sys(char** out, const char* fmt, va_list ap) { return os_vasprintf_imp(out, fmt, ap, &_malloc); }

pl_mem_stat pl_mem_stat_get() {
    return {g_count.load(std::memory_order_relaxed), g_bytes.load(std::memory_order_relaxed),
            g_max_size.load(std::memory_order_relaxed), g_max_count.load(std::memory_order_relaxed),
            g_max_bytes.load(std::memory_order_relaxed)};
}

text_buf* pl_mem_stat_str() {
    pl_mem_stat s = pl_mem_stat_get();
    text_buf* buf = text_buf_new();
    if (!buf) return nullptr;
    text_buf_printf(buf, "malloc_count=%llu\n", static_cast<unsigned long long>(s.malloc_count));
    text_buf_printf(buf, "malloc_bytes=%llu\n", static_cast<unsigned long long>(s.malloc_bytes));
    text_buf_printf(buf, "malloc_max_size=%llu\n", static_cast<unsigned long long>(s.malloc_max_size));
    text_buf_printf(buf, "malloc_max_count=%llu\n", static_cast<unsigned long long>(s.malloc_max_count));
    text_buf_printf(buf, "malloc_max_bytes=%llu\n", static_cast<unsigned long long>(s.malloc_max_bytes));
    return buf;
}

int pl_mem_exit() {
    log2_exit(nullptr);
    return g_count.load(std::memory_order_relaxed) > 0 ? 1 : 0;
}

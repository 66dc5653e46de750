#include "libpal/memory/memory.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/env/pl_sysinfo.h"

namespace {

std::atomic<uint32_t> g_pagesize{0};
std::atomic<uint32_t> g_pageshift{0};
std::atomic<uint64_t> g_physical{0};

}  // namespace

int mem_init() {
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || page > static_cast<long>(UINT32_MAX)) {
        LOG2(LOG2_WARN, "pal", "call to sysconf() for _SC_PAGESIZE has failed...\n");
        g_pagesize.store(0);
        g_pageshift.store(0);
        g_physical.store(0);
        return 0;
    }
    auto size = static_cast<uint32_t>(page);
    uint32_t shift = 0;
    for (uint32_t p = size; p >= 2; p /= 2) shift++;
    g_pagesize.store(size);
    g_pageshift.store(shift);
    LOG2(LOG2_VERB, "pal", "pagesize=%d\n", static_cast<int>(size));
    g_physical.store(os_phys_mem_size());
    return 0;
}

uint32_t mem_get_pagesize() { return g_pagesize.load(std::memory_order_relaxed); }
uint32_t mem_get_pageshift() { return g_pageshift.load(std::memory_order_relaxed); }
uint64_t mem_get_physical_size() { return g_physical.load(std::memory_order_relaxed); }

int mem_is_filled(const void* buf, uint8_t value, size_t n) {
    if (!buf || n == 0) return 0;
    const auto* b = static_cast<const uint8_t*>(buf);
    if (b[0] != value) return 0;
    return memcmp(b, b + 1, n - 1) == 0 ? 1 : 0;
}

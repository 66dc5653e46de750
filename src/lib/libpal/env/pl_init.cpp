#include "libpal/env/pl_init.h"

#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "libpal/memory/pl_mem.h"
#include "libpal/memory/random.h"
#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

namespace {
std::atomic<bool> g_init_done{false};
}

int pl_init() {
    if (g_init_done.exchange(true)) return 0;
    // A write to a closed connection reports EPIPE instead of ending the process.
    signal(SIGPIPE, SIG_IGN);
    // Files the tool creates are never group- or world-writable, whatever the caller's mask.
    mode_t old = umask(0);
    umask(old | 022);
    time_t now = time(nullptr);
    srand(static_cast<unsigned>(now));
    memory_random_seed(static_cast<uint64_t>(now));
    return 0;
}

int pl_exit() {
    os_thread_name_free();
    log2_exit(nullptr);
    pl_mem_exit();
    return 0;
}

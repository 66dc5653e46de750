#include "libpal/env/pl_init.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <ctime>

#include "libpal/env/pl_sysinfo.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/memory/memory.h"
#include "libpal/memory/random.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_daemon.h"
#include "libpal/os/posix/os_socket.h"
#include "liblog/log2.h"

namespace {
std::atomic<bool> g_init_done{false};
}

void os_init_limits() {
    os_ulimit(RLIMIT_NOFILE);
    os_ulimit(RLIMIT_FSIZE);
    // Files the tool creates are never group- or world-writable, whatever the caller's mask.
    mode_t old = umask(022);
    umask(old | 022);
}

int pl_init() {
    if (g_init_done.exchange(true)) return 0;
    pl_sysinfo_init();
    // A write to a closed connection reports EPIPE instead of ending the process.
    if (!os_socket_init_env()) LOG2(LOG2_ERR, "pal", "os_socket_init_env failed\n");
    os_init_limits();
    time_t now = time(nullptr);
    srand(static_cast<unsigned>(now));
    memory_random_seed(static_cast<uint64_t>(now));
    // Shared texts are filled here, before any other thread can ask for them.
    (void)os_info_str();
    return mem_init();
}

int pl_exit() {
    os_thread_name_free();
    log2_exit(nullptr);
    pl_mem_exit();
    return 0;
}

#include "libpal/os/posix/os_panic.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "libpal/tframe/app.h"
#include "liblog/log2.h"

namespace {

constexpr int k_fatal[] = {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV};
// How long each panic line waits for the logger's lock.
constexpr uint32_t k_lock_wait_ms = 250;
// After this many seconds in the handler the watchdog ends the process.
constexpr unsigned k_watchdog_sec = 3;

std::atomic<void (*)()> g_hook{nullptr};

[[noreturn]] void watchdog(int) { _exit(254); }

void arm_watchdog() {
    struct sigaction sa{};
    sa.sa_handler = &watchdog;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    sigset_t alrm;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alrm, nullptr);
    alarm(k_watchdog_sec);
}

}  // namespace

#define PANIC_LOG(level, ...) \
    log2_printf_bounded(nullptr, (level), "pal", __FILE__, __LINE__, __func__, k_lock_wait_ms, __VA_ARGS__)

void panic_handler(int signo) {
    arm_watchdog();
    PANIC_LOG(LOG2_CRIT | LOG2_NOEXIT | LOG2_BSV_ONLY, "[%s]", log2_get_last_msg(nullptr));
    const char* name = sigdescr_np(signo);
    PANIC_LOG(LOG2_CRIT | LOG2_NOEXIT | LOG2_BSV, "signo=%d [%s]\n", signo, name ? name : "Unknown signal");
    PANIC_LOG(LOG2_CRIT | LOG2_NOEXIT, "appver: %s\n", g_app.app_ver ? g_app.app_ver : "");
    if (void (*hook)() = g_hook.load()) hook();
    _exit(254);
}

int os_panic_init() {
    struct sigaction sa{};
    sa.sa_handler = &panic_handler;
    sigemptyset(&sa.sa_mask);
    for (int s : k_fatal) sigaction(s, &sa, nullptr);
    return 0;
}

void os_panic_set_hook(void (*hook)()) { g_hook.store(hook); }

int os_panic_init_core_dump() {
    struct rlimit rl{RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_CORE, &rl) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "setrlimit error: ");
        return -1;
    }
    return 0;
}

int os_painc_set_dump_dir(const char* dir, const char* name) {
    LOG2(LOG2_VERB, "pal", "[%s][%s]==>\n", dir ? dir : "", name ? name : "");
    if (geteuid() != 0) return -1;
    if (dir && dir[0]) (void)os_panic_init_core_dump();
    return 0;
}

int os_panic_noop() { return 0; }

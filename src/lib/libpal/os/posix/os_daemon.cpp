#include "libpal/os/posix/os_daemon.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "liblog/log2.h"

int os_ulimit(int resource) {
    auto res = static_cast<__rlimit_resource_t>(resource);
    struct rlimit rl;
    if (getrlimit(res, &rl) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "getrlimit [%d] error:", resource);
        return -1;
    }
    struct rlimit want{RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(res, &want) == 0) return 0;
    LOG2(LOG2_VERB, "pal", "rlim.rlim_max=%d\n", static_cast<int>(rl.rlim_max));
    want.rlim_cur = want.rlim_max = rl.rlim_max;
    if (setrlimit(res, &want) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "setrlimit [%d] error:", resource);
        return -1;
    }
    return 0;
}

namespace {

// The parent's side of a fork: leave at once, without running the exit
// handlers and destructors that belong to the process that goes on.
[[noreturn]] void parent_leaves() { _exit(0); }

}  // namespace

int os_daemonize() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) < 0) LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "can't get file limit\n");
    // Buffered output is written once, by this process, not by every copy.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "can't fork\n");
        return -1;
    }
    if (pid != 0) parent_leaves();

    setsid();
    struct sigaction sa{};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGHUP, &sa, nullptr) < 0) LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "can't ignore SIGHUP\n");
    pid = fork();
    if (pid < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "can't fork\n");
        return -1;
    }
    if (pid != 0) parent_leaves();

    // Files the daemon creates are never group- or world-writable.
    mode_t old = umask(022);
    umask(old | 022);
    close(0);
    close(1);
    close(2);
    int fd = open("/dev/null", O_RDWR);
    if (fd != 0) LOG2(LOG2_DBG, "pal", "open /dev/null fail\n");
    int fd1 = dup(0);
    int fd2 = dup(0);
    if (fd1 != 1 || fd2 != 2) LOG2(LOG2_DBG, "pal", "dup(0)fail\n");
    return 0;
}

// Process limits, daemon mode and privilege changes, each in a child
// process of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "libpal/os/posix/os_daemon.h"
#include "libpal/os/posix/os_priv.h"
#include "support/log_capture.h"

namespace {

TEST(Ulimit, RaisesToTheHardLimitWhenUnlimitedIsRefused) {
    auto child = [] {
        // A lower soft limit under a finite hard one; unlimited is refused
        // for the open-files limit.
        struct rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        rlim_t hard = rl.rlim_max == RLIM_INFINITY ? 4096 : rl.rlim_max;
        struct rlimit set{64, hard};
        if (setrlimit(RLIMIT_NOFILE, &set) != 0) _exit(2);
        log_capture cap;
        int r = os_ulimit(RLIMIT_NOFILE);
        getrlimit(RLIMIT_NOFILE, &rl);
        bool ok = r == 0 && rl.rlim_cur == hard && rl.rlim_max == hard && cap.contains("rlim.rlim_max=");
        _exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(Ulimit, UnknownResource) {
    log_capture cap;
    EXPECT_EQ(os_ulimit(999), -1);
    EXPECT_TRUE(cap.contains("getrlimit [999] error:Invalid argument\n")) << cap.all();
}

TEST(Daemon, DetachedProcessState) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(p[0]);
        umask(0);
        if (os_daemonize() != 0) _exit(3);
        // Report from the detached process.
        struct stat null_st{}, in_st{}, out_st{}, err_st{};
        stat("/dev/null", &null_st);
        fstat(0, &in_st);
        fstat(1, &out_st);
        fstat(2, &err_st);
        bool on_null = in_st.st_rdev == null_st.st_rdev && out_st.st_rdev == null_st.st_rdev &&
                       err_st.st_rdev == null_st.st_rdev && S_ISCHR(in_st.st_mode);
        struct sigaction hup{};
        sigaction(SIGHUP, nullptr, &hup);
        mode_t mask = umask(0);
        char line[128];
        int n = snprintf(line, sizeof line, "%d %d %d %d %o\n", getsid(0) != getpid() ? 1 : 0,
                         getppid() != 0 ? 1 : 0, on_null ? 1 : 0, hup.sa_handler == SIG_IGN ? 1 : 0,
                         static_cast<unsigned>(mask));
        (void)!write(p[1], line, static_cast<size_t>(n));
        _exit(0);
    }
    close(p[1]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the first parent leaves with status 0";
    std::string report;
    char buf[128];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<size_t>(n));
    close(p[0]);
    // Not a session leader (so it can never regain a terminal), standard
    // descriptors on /dev/null, SIGHUP ignored, and a mask of at least 022.
    EXPECT_EQ(report, "1 1 1 1 22\n");
}

// The effective user id decides, not the real one: root acting as nobody is
// not root, nobody acting as root is.
TEST(Priv, RootTest) {
    if (geteuid() != 0) {
        EXPECT_EQ(os_is_root(), 0);
        GTEST_SKIP() << "telling the effective user id from the real one needs root";
    }
    auto child = [] {
        if (os_is_root() != 1) _exit(2);
        if (seteuid(65534) != 0) _exit(3);
        if (os_is_root() != 0) _exit(4);
        if (seteuid(0) != 0 || setresuid(65534, 0, 0) != 0) _exit(5);
        if (os_is_root() != 1) _exit(6);
        _exit(0);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(Priv, DropAndRestoreAndPermanentDrop) {
    if (geteuid() != 0) GTEST_SKIP() << "changing identities needs root";
    auto child = [] {
        // A set-user-id style start: real ids of nobody, effective root.
        if (setresgid(65534, 0, 0) != 0 || setresuid(65534, 0, 0) != 0) _exit(2);
        os_priv_drop(0);
        if (geteuid() != 65534 || getegid() != 65534) _exit(3);
        gid_t groups[4];
        if (getgroups(4, groups) != 1 || groups[0] != 65534) _exit(4);
        os_priv_restore();
        if (geteuid() != 0 || getegid() != 0) _exit(5);
        os_priv_drop(1);
        uid_t r, e, s;
        getresuid(&r, &e, &s);
        if (r != 65534 || e != 65534 || s != 65534) _exit(6);
        if (seteuid(0) == 0) _exit(7);
        _exit(0);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

}  // namespace

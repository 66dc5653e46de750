// Fatal signals: the log lines, the hook and exit status 254, also when the
// failing thread or another one holds the logger's lock.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "libpal/os/posix/os_panic.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

// Plain log lines on standard error, every level, a known version.
void panic_setup() {
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0, 0);
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_VERB, 0);
    log2_ioctl(nullptr, LOG2_IOC_SHELL_OUT, 1, 0);
    g_app.app_ver = "9.8.7.6";
    os_panic_init();
}

std::string panic_lines(int sig) {
    std::string name = strsignal(sig);
    std::string re = "^signo=" + std::to_string(sig) + " \\[";
    for (char c : name) {
        if (strchr("\\^$.[]|()*+?{}", c)) re += '\\';
        re += c;
    }
    return re + "\\]\nappver: 9\\.8\\.7\\.6\n";
}

[[noreturn]] void raise_after_setup(int sig) {
    panic_setup();
    raise(sig);
    _exit(1);
}

TEST(PanicDeathTest, EveryFatalSignalLogsAndEndsWith254) {
    for (int sig : {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV}) {
        SCOPED_TRACE(sig);
        EXPECT_EXIT(raise_after_setup(sig), testing::ExitedWithCode(254), panic_lines(sig) + "$");
    }
}

TEST(PanicDeathTest, RealFaultsAreCaught) {
    auto bad_store = [] {
        panic_setup();
        volatile uintptr_t addr = 16;
        *reinterpret_cast<volatile int*>(addr) = 1;
        _exit(1);
    };
    EXPECT_EXIT(bad_store(), testing::ExitedWithCode(254), panic_lines(SIGSEGV) + "$");
    auto bad_abort = [] {
        panic_setup();
        abort();
    };
    EXPECT_EXIT(bad_abort(), testing::ExitedWithCode(254), panic_lines(SIGABRT) + "$");
}

TEST(PanicDeathTest, NewestLinesTravelOnlyAsBinaryRecord) {
    auto child = [] {
        panic_setup();
        LOG2(LOG2_INFO, "t", "earlier line\n");
        raise(SIGSEGV);
        _exit(1);
    };
    // The earlier line shows once: the handler's copy of the newest lines is
    // not written to standard error.
    EXPECT_EXIT(child(), testing::ExitedWithCode(254), "^earlier line\n" + panic_lines(SIGSEGV) + "$");
}

void write_text(const char* t) { (void)!write(2, t, strlen(t)); }

TEST(PanicDeathTest, HookRunsAfterTheLines) {
    auto child = [] {
        panic_setup();
        os_panic_set_hook([] { write_text("hook ran\n"); });
        raise(SIGFPE);
        _exit(1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(254), panic_lines(SIGFPE) + "hook ran\n$");
}

// A fault inside the logger: the failing thread itself holds the logger's
// lock (and is inside a log call) when the signal arrives.
int crash_in_logger(uint32_t, const char*, const char* line, uint32_t len) {
    if (std::string_view(line, len).find("crash-now") != std::string_view::npos) raise(SIGSEGV);
    return 0;
}

TEST(PanicDeathTest, FaultWhileThisThreadHoldsTheLoggerLock) {
    auto child = [] {
        panic_setup();
        log2_ioctl(nullptr, LOG2_IOC_CB_HIGH, reinterpret_cast<uintptr_t>(&crash_in_logger), 0);
        log2_ioctl(nullptr, LOG2_IOC_CB_LOW, reinterpret_cast<uintptr_t>(&crash_in_logger), 0);
        LOG2(LOG2_INFO, "t", "crash-now\n");
        _exit(1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(254), panic_lines(SIGSEGV) + "$");
}

// Another thread holds the logger's lock for good.
std::mutex g_mu;
std::condition_variable g_cv;
bool g_inside = false;

int block_in_logger(uint32_t, const char*, const char* line, uint32_t len) {
    if (std::string_view(line, len).find("block-here") == std::string_view::npos) return 0;
    std::unique_lock<std::mutex> lk(g_mu);
    g_inside = true;
    g_cv.notify_all();
    g_cv.wait(lk, [] { return false; });
    return 0;
}

TEST(PanicDeathTest, FaultWhileAnotherThreadHoldsTheLoggerLock) {
    auto child = [] {
        panic_setup();
        log2_ioctl(nullptr, LOG2_IOC_CB_HIGH, reinterpret_cast<uintptr_t>(&block_in_logger), 0);
        log2_ioctl(nullptr, LOG2_IOC_CB_LOW, reinterpret_cast<uintptr_t>(&block_in_logger), 0);
        std::thread([] { LOG2(LOG2_INFO, "t", "block-here\n"); }).detach();
        {
            std::unique_lock<std::mutex> lk(g_mu);
            g_cv.wait(lk, [] { return g_inside; });
        }
        raise(SIGBUS);
        _exit(1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(254), panic_lines(SIGBUS) + "$");
}

TEST(PanicDeathTest, WatchdogEndsAHandlerThatHangs) {
    auto child = [] {
        panic_setup();
        os_panic_set_hook([] {
            for (;;) pause();
        });
        raise(SIGILL);
        _exit(1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(254), panic_lines(SIGILL) + "$");
}

TEST(PanicDeathTest, CoreDumpLimitForRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "raising the hard limit needs root";
    auto child = [] {
        log_capture cap;
        int r = os_painc_set_dump_dir("/var/tmp", "kxdd");
        struct rlimit rl;
        getrlimit(RLIMIT_CORE, &rl);
        bool ok = r == 0 && rl.rlim_cur == RLIM_INFINITY && rl.rlim_max == RLIM_INFINITY &&
                  cap.contains("[/var/tmp][kxdd]==>\n");
        _exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
    auto not_root = [] {
        struct rlimit low{0, 0};
        setrlimit(RLIMIT_CORE, &low);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        int r = os_painc_set_dump_dir("/var/tmp", "kxdd");
        struct rlimit rl;
        getrlimit(RLIMIT_CORE, &rl);
        _exit(r == -1 && rl.rlim_cur == 0 && os_panic_init_core_dump() == -1 ? 0 : 1);
    };
    EXPECT_EXIT(not_root(), testing::ExitedWithCode(0), "setrlimit error: Operation not permitted");
}

}  // namespace

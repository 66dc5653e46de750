// A fatal signal to a running kxdd ends it with status 254 after the signal
// and version lines; the program's identity shows in "-v" and in the log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/utsname.h>
#include <vector>

#include "support/proc.h"

extern char** environ;

namespace {

// kxdd reading a pipe that the test holds open, its standard error on
// another pipe.
struct running_kxdd {
    pid_t pid = -1;
    int in = -1;   // kxdd's standard input, our writing end
    int err = -1;  // kxdd's standard error, our reading end
    std::string err_text;

    explicit running_kxdd(const std::vector<std::string>& args) {
        int pin[2], perr[2];
        if (pipe2(pin, O_CLOEXEC) != 0 || pipe2(perr, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, pin[0], 0);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, perr[1], 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::vector<std::string> all_args{kxdd_bin()};
        all_args.insert(all_args.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all_args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        close(pin[0]);
        close(perr[1]);
        in = pin[1];
        err = perr[0];
    }
    ~running_kxdd() {
        if (in >= 0) close(in);
        if (err >= 0) close(err);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Reads standard error until it holds text (true) or ends (false).
    bool wait_for(const std::string& text) {
        char buf[4096];
        while (err_text.find(text) == std::string::npos) {
            ssize_t n = read(err, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            err_text.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    // Reads standard error to its end and gives the exit status (128 +
    // signal number for a signal).
    int finish() {
        wait_for(std::string(1, '\0'));
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
};

TEST(KxddPanic, SegvToARunningCopyEndsWith254AndItsLines) {
    running_kxdd k({"of=/dev/null", "bs=4k"});
    ASSERT_GT(k.pid, 0);
    // Some input, and the pipe kept open: the copy waits for more.
    ASSERT_EQ(write(k.in, "first block", 11), 11);
    ASSERT_TRUE(k.wait_for("in type=")) << k.err_text;
    ASSERT_EQ(kill(k.pid, SIGSEGV), 0);
    EXPECT_EQ(k.finish(), 254);
    std::string err = strip_ansi(k.err_text);
    EXPECT_TRUE(testing::internal::RE::PartialMatch(
        err, testing::internal::RE("[0-9:]+ \\[[0-9]+\\] panic_handler\\(\\): signo=11 \\[Segmentation fault\\]\n")))
        << err;
    EXPECT_NE(err.find("panic_handler(): appver: 1.7.2.0\n"), std::string::npos) << err;
    EXPECT_LT(err.find("signo=11"), err.find("appver: "));
}

TEST(KxddPanic, AbortWhileIdleToo) {
    running_kxdd k({"of=/dev/null"});
    ASSERT_GT(k.pid, 0);
    ASSERT_TRUE(k.wait_for("in type=")) << k.err_text;
    ASSERT_EQ(kill(k.pid, SIGABRT), 0);
    EXPECT_EQ(k.finish(), 254);
    EXPECT_NE(strip_ansi(k.err_text).find("signo=6 [Aborted]\n"), std::string::npos) << k.err_text;
}

TEST(KxddIdentity, VersionAndLogBanner) {
    proc_result v = run_kxdd({"-v"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "1.7.2.0\n");
    EXPECT_EQ(v.err, "");

    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    const std::string banner =
        std::string("app_baner(): kxdd-linux-") + u.machine + " v1.7.2.0 (2024-2-29) - convert and copy a file [staic]\n";
    proc_result dbg = run_kxdd({"level=dbg", "of=/dev/null"}, "data");
    EXPECT_EQ(dbg.status, 0);
    std::string err = strip_ansi(dbg.err);
    EXPECT_NE(err.find(banner), std::string::npos) << err;
    EXPECT_NE(err.find("app_baner(): cmdline=[" + kxdd_bin() + " level=dbg of=/dev/null ] os=[Linux "), std::string::npos)
        << err;
    // At the default level the banner stays out of the log.
    proc_result info = run_kxdd({"of=/dev/null"}, "data");
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(strip_ansi(info.err).find("app_baner()"), std::string::npos) << info.err;
}

}  // namespace

namespace {

// At dbg level a run names the settings of its mode before it starts, and
// calls the keep-awake hooks around the work unless they are switched off.
TEST(KxddIdentity, DbgLogNamesTheModeSettings) {
    temp_dir d;
    const std::string a = d.file("a"), b = d.file("b");
    write_file(a, std::string(8192, 'a'));
    write_file(b, std::string(8192, 'b'));
    struct row {
        std::vector<std::string> args;
        std::vector<std::string> lines;
    };
    const row rows[] = {
        {{"if=" + a, "hash_mode=md5,sha1", "bs=4k"},
         {"hash_mode=[md5|sha1]\n", "bs_count=[32]\n", "use_thread_pool=[1]\n"}},
        {{"if=" + a, "bcount_mode=1", "bs=4k", "bs_count=3", "conv=cal_one_task"},
         {"bcount_mode=[byte]\n", "bs_count=[3]\n", "use_thread_pool=[0]\n"}},
        {{"if=" + a, "of=" + b, "diff_mode=bs", "bs=4k"}, {"diff_mode=[auto]\n", "max_diff=[8]\n", "bs_count=[512]\n"}},
        {{"if=" + a, "of=" + b, "diff_mode=bin", "bs=4k"}, {"diff_mode=[bin]\n", "max_diff=[8]\n"}},
        {{"if=" + a, "of=" + b, "hash_mode=sha256", "sync_mode=auto", "bs=4k"}, {"diff_mode=[sha256]\n"}},
        {{"of=" + b, "clear_mode=3c", "bs=4k", "count=1"}, {"clear_chr=[3C]\n"}},
        {{"of=" + b, "clear_mode=100", "bs=4k", "count=1"}, {"clear_chr=[RANDOM]\n"}},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = r.args;
        args.push_back("level=dbg");
        SCOPED_TRACE(args[1] + " " + args[2]);
        proc_result p = run_kxdd(args);
        const std::string err = strip_ansi(p.err);
        for (const std::string& line : r.lines) EXPECT_NE(err.find("dd_work_thread(): " + line), std::string::npos) << line << err;
        EXPECT_NE(err.find("os_hibernate_disable ret=0\n"), std::string::npos) << err;
        EXPECT_NE(err.find("os_hibernate_restore ret=0\n"), std::string::npos) << err;
    }
    proc_result off = run_kxdd({"if=" + a, "of=" + b, "disable_os_hibernate=0", "level=dbg"});
    EXPECT_EQ(off.status, 0);
    EXPECT_EQ(off.err.find("os_hibernate_"), std::string::npos) << off.err;
}

}  // namespace

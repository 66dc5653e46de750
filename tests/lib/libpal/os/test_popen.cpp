// Child processes: modes, exit statuses and signals, both pipes read
// together, the child's clean state, and no shell between a text and exec.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "libpal/os/posix/os_popen.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

struct owned_text {
    char* p = nullptr;
    ~owned_text() { pl_free(p); }
    std::string str() const { return p ? p : "<none>"; }
};

struct run_result {
    int status;
    std::string out, err;
};

run_result run(std::vector<const char*> argv) {
    argv.push_back(nullptr);
    owned_text out, err;
    int st = os_popen_run_vec(argv.data(), &out.p, &err.p);
    return {st, out.str(), err.str()};
}

TEST(Popen, ModeMustBeExactlyReadOrWrite) {
    const char* argv[] = {"true", nullptr};
    for (const char* mode : {"", "rw", "x", "r+", "W", "rb"}) {
        errno = 0;
        EXPECT_EQ(os_popen_vec(argv, mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
        EXPECT_EQ(os_popen("true", mode), nullptr) << mode;
    }
    EXPECT_EQ(os_popen_vec(argv, nullptr), nullptr);
    for (const char* mode : {"r", "w"}) {
        os_popen_ctx* h = os_popen_vec(argv, mode);
        ASSERT_NE(h, nullptr) << mode;
        EXPECT_EQ(os_pclose(h), 0);
    }
}

TEST(Popen, ExitStatusAndBothTexts) {
    struct row {
        std::vector<const char*> argv;
        int status;
        const char* out;
        const char* err;
    };
    const row rows[] = {
        {{"sh", "-c", "echo out; echo err >&2; exit 3"}, 3, "out\n", "err\n"},
        {{"sh", "-c", "exit 0"}, 0, "<none>", "<none>"},
        {{"sh", "-c", "kill -9 $$"}, 9, "<none>", "<none>"},
        {{"printf", "%s|", "a b", "c"}, 0, "a b|c|", "<none>"},
        {{"/nonexistent/program"}, ENOENT, "<none>", "<none>"},
    };
    log_capture cap;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.argv[0] + std::string(" ") + (r.argv.size() > 2 ? r.argv[2] : ""));
        run_result got = run(r.argv);
        EXPECT_EQ(got.status, r.status);
        EXPECT_EQ(got.out, r.out);
        EXPECT_EQ(got.err, r.err);
    }
}

TEST(Popen, ChildFillingBothPipesDoesNotBlock) {
    // 1 MiB on each pipe, standard error first: reading one pipe to its end
    // before the other would never finish.
    run_result r = run({"sh", "-c", "yes e | head -c 1048576 >&2; yes o | head -c 1048576; echo end >&2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), 1048576u);
    EXPECT_EQ(r.err.size(), 1048576u + 4);

    const char* argv[] = {"sh", "-c", "yes e | head -c 1048576 >&2; echo out", nullptr};
    os_popen_ctx* h = os_popen_vec(argv, "r");
    ASSERT_NE(h, nullptr);
    owned_text out, err;
    out.p = os_popen_read_out(h);
    err.p = os_popen_read_err(h);
    EXPECT_EQ(out.str(), "out\n");
    ASSERT_NE(err.p, nullptr);
    EXPECT_EQ(strlen(err.p), 1048576u);
    EXPECT_EQ(os_pwait(h), 0);
    os_pclose(h);
}

TEST(Popen, WaitingForAChild) {
    // "cat" runs until its input ends, so the state at each step is known.
    const char* argv[] = {"cat", nullptr};
    os_popen_ctx* h = os_popen_vec(argv, "w");
    ASSERT_NE(h, nullptr);
    uint32_t pid = h->pid;
    EXPECT_EQ(os_perrno(h), -1) << "still running after the polling";
    EXPECT_EQ(h->pid, pid) << "and can still be waited for";
    close(h->fd);
    h->fd = -1;
    EXPECT_EQ(os_pwait(h), 0);
    EXPECT_EQ(h->pid, 0u);
    EXPECT_EQ(os_perrno(h), 0) << "a second wait returns at once";
    EXPECT_EQ(os_pwait(h), 0);
    os_pclose(h);

    h = os_popen_vec(argv, "w");
    ASSERT_NE(h, nullptr);
    log_capture cap;
    kill(static_cast<pid_t>(h->pid), SIGKILL);
    EXPECT_EQ(os_pwait(h), 9);
    EXPECT_TRUE(cap.contains("WIF_SIGNALED\n"));
    os_pclose(h);
}

TEST(Popen, CloseDoesNotWaitForeverForAChildThatKeepsRunning) {
    // The child neither reads nor writes its pipes, so closing them does
    // not end it: the close gives up after its polling and says so.
    const char* argv[] = {"sleep", "60", nullptr};
    os_popen_ctx* h = os_popen_vec(argv, "r");
    ASSERT_NE(h, nullptr);
    const pid_t pid = static_cast<pid_t>(h->pid);
    log_capture cap;
    EXPECT_EQ(os_pclose(h), 0);
    EXPECT_TRUE(cap.contains("pid=" + std::to_string(pid) + " still running after 1 s, not waited for\n"));
    EXPECT_EQ(kill(pid, 0), 0) << "the child was left running";
    kill(pid, SIGKILL);
    int st = 0;
    EXPECT_EQ(waitpid(pid, &st, 0), pid);
}

TEST(Popen, WriteModeFeedsTheChild) {
    temp_dir d;
    std::string target = d.file("fed");
    std::string script = "cat > '" + target + "'";
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    os_popen_ctx* h = os_popen_vec(argv, "w");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(write(h->fd, "hello\n", 6), 6);
    os_pclose(h);
    EXPECT_EQ(read_file(target), "hello\n");
}

TEST(Popen, ChildStartsWithCleanSignalsAndNoInheritedDescriptors) {
    // Ignored and blocked signals of ours must not reach the child.
    struct sigaction ign{}, old_int{}, old_usr{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ign, &old_int);
    sigaction(SIGUSR2, &ign, &old_usr);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old_mask);
    // A descriptor without close-on-exec.
    int leak = open("/dev/null", O_RDONLY);
    ASSERT_GT(leak, 2);

    run_result sig = run({"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"});
    run_result fds = run({"ls", "/proc/self/fd"});

    close(leak);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGUSR2, &old_usr, nullptr);

    EXPECT_EQ(sig.out, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    // 0-2 and the directory ls reads.
    EXPECT_EQ(fds.out, "0\n1\n2\n3\n");
}

TEST(Popen, CommandTextNeverReachesAShell) {
    temp_dir d;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(d.path.c_str()), 0);
    owned_text out, err;
    int st = os_popen_run("echo $(touch pwned);touch pwned2 `touch pwned3` |x", nullptr, &out.p, &err.p);
    owned_text out2;
    int st2 = os_popen_run_argv("echo a>pwned4", nullptr, &out2.p, nullptr);
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(out.str(), "$(touch pwned);touch pwned2 `touch pwned3` |x\n");
    EXPECT_EQ(st2, 0);
    EXPECT_EQ(out2.str(), "a>pwned4\n");
    for (const char* name : {"pwned", "pwned2", "pwned3", "pwned4"}) {
        struct stat s;
        EXPECT_NE(stat(d.file(name).c_str(), &s), 0) << name << " was created";
    }
}

TEST(Popen, CommandTextSplitIntoWords) {
    struct row {
        const char* command;
        const char* out;
    };
    const row rows[] = {
        {"printf %s| a b", "a|b|"},
        {"printf \"%s|\" \"a b\" c", "a b|c|"},
        {"  printf\t%s|  x  ", "x|"},
        {"printf %s| \"say \\\"hi\\\"\"", "say \"hi\"|"},
    };
    for (const auto& r : rows) {
        owned_text out;
        EXPECT_EQ(os_popen_run(r.command, nullptr, &out.p, nullptr), 0) << r.command;
        EXPECT_EQ(out.str(), r.out) << r.command;
    }
    owned_text out;
    errno = 0;
    EXPECT_EQ(os_popen_run("   ", nullptr, &out.p, nullptr), -1) << "no program";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(os_popen(nullptr, "r"), nullptr);
}

TEST(Popen, ValueOfAKeyInTheOutput) {
    struct row {
        const char* key;
        int result;
        const char* value;
    };
    const row rows[] = {
        {"Device / Media Name", 0, "Disk X"},
        {"device / media name", -1, ""},
        {"Mount Point", 0, "/mnt/a:b"},
        {"Absent", -1, ""},
    };
    const char* argv[] = {"printf", "Device Node: /dev/x\nDevice / Media Name:   Disk X  \nMount Point: /mnt/a:b\n",
                          nullptr};
    for (const auto& r : rows) {
        char value[64] = "junk";
        EXPECT_EQ(get_popen_val_vec(argv, r.key, value, sizeof value), r.result) << r.key;
        EXPECT_STREQ(value, r.value) << r.key;
    }
    char value[64] = "junk";
    EXPECT_EQ(get_popen_val("printf \"a:b\\nthe key:  the value\\n\"", "the key", value, sizeof value), 0);
    EXPECT_STREQ(value, "the value");
    log_capture cap;
    const char* missing[] = {"/nonexistent/program", nullptr};
    EXPECT_EQ(get_popen_val_vec(missing, "x", value, sizeof value), -1);
    EXPECT_STREQ(value, "");
}

TEST(Popen, DescriptorReadToItsEnd) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string data(10000, 'z');
    ASSERT_EQ(write(p[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(p[1]);
    owned_text t;
    t.p = os_fd_read_text(p[0]);
    EXPECT_EQ(t.str(), data);
    close(p[0]);
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);
    EXPECT_EQ(os_fd_read_text(p[0]), nullptr);
    close(p[0]);
}

}  // namespace

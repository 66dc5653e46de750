// What kxdd prints on standard error reads clean wherever it goes: colours
// only on a terminal (and none with "no_colour"), no line run on from the
// progress line, a progress line at its end with every field filled.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "kxdd_e2e.h"
#include "support/proc.h"
#include "support/pty_capture.h"

extern char** environ;

namespace {

using kxdd_e2e::contains;

using kxdd_e2e::kxdd_copy;

// Runs argv with standard input and output on /dev/null and standard error
// on the given descriptor; the exit status, 128 + signal, or -1.
pid_t spawn_with_stderr(const std::vector<std::string>& argv, int err_fd) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("spawn " + argv[0] + ": " + strerror(rc));
    return pid;
}

int wait_status(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Standard error a regular file.
proc_result run_err_to_file(const std::vector<std::string>& argv, const std::string& file) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("open " + file);
    pid_t pid = spawn_with_stderr(argv, fd);
    close(fd);
    proc_result r;
    r.status = wait_status(pid);
    r.err = read_file(file);
    return r;
}

// Standard error a terminal; what reached it, read while the process runs.
proc_result run_err_to_terminal(const std::vector<std::string>& argv) {
    pty_pair pty;
    if (!pty.ok()) throw std::runtime_error("openpty");
    fcntl(pty.writer, F_SETFD, FD_CLOEXEC);
    pid_t pid = spawn_with_stderr(argv, pty.writer);
    pty.close_writer();
    proc_result r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (pty.read_some(r.err, 1000) >= 0 && std::chrono::steady_clock::now() < deadline) {
    }
    r.status = wait_status(pid);
    return r;
}

// One copy that prints device lines and a digest (console lines, colour
// codes 1 and 2) and debug log lines (cyan), then a run that ends on a crit
// line (bold reverse red). On a terminal each is coloured; in a file none is,
// nor on a terminal with "no_colour" in kxdd.ini.
TEST(KxddConsole, ColourOnlyOnATerminalAndNeverWithNoColour) {
    REQUIRE_PTY(pty_pair().ok());
    kxdd_copy k;
    write_file(k.dir.file("in.bin"), kxdd_e2e::random_bytes(70000, 3));
    const std::vector<std::string> copy = {k.bin, "if=" + k.dir.file("in.bin"), "of=" + k.dir.file("out.bin"),
                                           "status=md5", "level=dbg"};
    const std::vector<std::string> bogus = {k.bin, "conv=bogus"};
    // The texts are there whatever the colours.
    auto texts_all_there = [](const proc_result& c, const proc_result& b) {
        std::string plain = strip_ansi(c.err);
        EXPECT_EQ(c.status, 0) << c.err;
        EXPECT_TRUE(contains(plain, "\nin type=[")) << plain;
        EXPECT_TRUE(contains(plain, "\nMD5: ")) << plain;
        EXPECT_TRUE(contains(plain, "cmdline=[")) << plain;
        EXPECT_TRUE(contains(plain, " records in\n")) << plain;
        EXPECT_EQ(b.status, 1) << b.err;
        EXPECT_TRUE(contains(b.err, "error: invalid arg [bogus] in [conv]")) << b.err;
    };

    proc_result file_copy = run_err_to_file(copy, k.dir.file("err.txt"));
    proc_result file_bogus = run_err_to_file(bogus, k.dir.file("err.txt"));
    texts_all_there(file_copy, file_bogus);
    EXPECT_FALSE(contains(file_copy.err, "\033")) << file_copy.err;
    EXPECT_FALSE(contains(file_bogus.err, "\033")) << file_bogus.err;

    proc_result tty_copy = run_err_to_terminal(copy);
    proc_result tty_bogus = run_err_to_terminal(bogus);
    texts_all_there(tty_copy, tty_bogus);
    EXPECT_TRUE(contains(tty_copy.err, "\033[37min type=[")) << tty_copy.err;
    EXPECT_TRUE(contains(tty_copy.err, "\033[07;37mMD5: ")) << tty_copy.err;
    EXPECT_TRUE(std::regex_search(tty_copy.err, std::regex("\033\\[36m[^\n]*cmdline=\\[[^\n]*\n\033\\[0m")))
        << tty_copy.err;
    // crit lines are bold reverse red, reset after the line break.
    EXPECT_EQ(tty_bogus.err.rfind("\033[01;07;31m", 0), 0u) << tty_bogus.err;
    EXPECT_TRUE(contains(tty_bogus.err, "\n\033[0m")) << tty_bogus.err;

    k.ini("[log]\nflags=time|tid|func|no_colour\n");
    proc_result plain_copy = run_err_to_terminal(copy);
    proc_result plain_bogus = run_err_to_terminal(bogus);
    texts_all_there(plain_copy, plain_bogus);
    EXPECT_FALSE(contains(plain_copy.err, "\033")) << plain_copy.err;
    EXPECT_FALSE(contains(plain_bogus.err, "\033")) << plain_bogus.err;
}

// A copy from a pipe with standard error a file: once a progress line shows,
// SIGUSR1 brings a debug log line (the signal) and the summary so far. Each
// starts a line of its own, and every progress text stays whole on its own
// line.
TEST(KxddConsole, NoLineRunsOnFromTheProgressLine) {
    temp_dir dir;
    const std::string out = dir.file("out.bin"), err = dir.file("err.txt");
    kxdd_e2e::live_proc p(kxdd_e2e::kxdd_argv({"of=" + out, "bs=4096", "level=dbg"}),
                          {.pipe_in = true, .err_file = err.c_str()});
    const std::string block = kxdd_e2e::random_bytes(4096, 11);
    // The progress line comes a second after the first block at the
    // earliest: blocks go in one at a time, each once the one before is out.
    long long fed = 0;
    bool shown = false;
    while (!shown && fed < (1LL << 30)) {
        ASSERT_TRUE(p.feed(block));
        fed += 4096;
        ASSERT_TRUE(p.wait_until([&] { return kxdd_e2e::file_size(out) == fed; }, 60000)) << read_file(err);
        shown = contains(read_file(err), "\r");
    }
    ASSERT_TRUE(shown);
    p.send(SIGUSR1);
    ASSERT_TRUE(p.wait_until([&] { return contains(read_file(err), " records out\n"); }, 60000)) << read_file(err);
    ASSERT_TRUE(p.feed(block));
    EXPECT_EQ(p.finish(), 0) << read_file(err);

    std::string text = read_file(err);
    const std::regex progress(R"(\d+ bytes \([0-9.]+[KMGT]?\), [0-9.]+[KMG]?B/S *)");
    const std::regex log_line(R"(\d\d:\d\d:\d\d \[\d+\] \w+\(\): .*)");
    size_t progress_texts = 0;
    bool signal_line = false, summary = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, (nl == std::string::npos ? text.size() : nl) - start);
        start = nl == std::string::npos ? text.size() : nl + 1;
        if (line.empty() || line[0] != '\r') {
            // Any other line holds no progress text.
            EXPECT_FALSE(contains(line, "\r")) << line;
            if (std::regex_match(line, log_line) && contains(line, "signum=10")) signal_line = true;
            if (contains(line, " records in")) summary = true;
            continue;
        }
        // A line of progress texts, each rewriting the one before: nothing else.
        for (size_t at = 0; at != std::string::npos;) {
            size_t next = line.find('\r', at + 1);
            std::string one = line.substr(at + 1, (next == std::string::npos ? line.size() : next) - at - 1);
            EXPECT_TRUE(std::regex_match(one, progress)) << "[" << one << "] in [" << line << "]";
            ++progress_texts;
            at = next;
        }
    }
    EXPECT_GE(progress_texts, 1u) << text;
    EXPECT_TRUE(signal_line) << text;
    EXPECT_TRUE(summary) << text;
}

}  // namespace

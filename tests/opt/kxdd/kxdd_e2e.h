// Helpers of the end-to-end tests that run the kxdd binary: standard error
// without colours and progress lines, test data, and a running process the
// test talks to while it works (feeding its input, reading its output,
// sending signals).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/proc.h"

extern char** environ;

namespace kxdd_e2e {

// Bytes of a fixed generator, so every run sees the same data.
inline std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 4) {
        uint32_t v = gen();
        for (size_t k = 0; k < 4 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
}

// The bytes as conv=swab writes them: each pair swapped, an odd last byte
// as it is.
inline std::string swabbed(std::string s) {
    for (size_t i = 0; i + 1 < s.size(); i += 2) std::swap(s[i], s[i + 1]);
    return s;
}

// The progress lines: each starts with "\r" and runs to the next "\r", line
// break or colour sequence (a log line may follow one directly). Trailing
// blanks (padding over a longer earlier line) are dropped.
inline std::vector<std::string> progress_lines(const std::string& raw) {
    std::vector<std::string> lines;
    for (size_t i = raw.find('\r'); i != std::string::npos; i = raw.find('\r', i + 1)) {
        size_t end = raw.find_first_of("\r\n\033", i + 1);
        std::string l = raw.substr(i + 1, (end == std::string::npos ? raw.size() : end) - i - 1);
        while (!l.empty() && l.back() == ' ') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

// Standard error without the progress segments and without colours.
inline std::string clean_err(const std::string& raw) {
    std::string o;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') {
            size_t end = raw.find_first_of("\r\n\033", i + 1);
            if (end == std::string::npos) break;
            i = end - 1;
            continue;
        }
        o += raw[i];
    }
    return strip_ansi(o);
}

inline size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + what.size())) ++n;
    return n;
}

inline bool contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

inline bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Size of a file, -1 when it cannot be seen.
inline long long file_size(const std::string& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(n);
}

inline bool have_gnu_dd() {
    proc_result r = run_proc({"dd", "--version"});
    return r.status == 0 && contains(r.out, "coreutils");
}

// A command with standard error sent to a file (as a user keeps it with
// "2>file"), not a pipe; err is that file's text. The file lives in dir.
inline proc_result run_err_file(const std::string& dir, const std::vector<std::string>& cmd,
                                const std::string& input = {}) {
    const std::string file = dir + "/stderr.txt";
    std::vector<std::string> argv{"sh", "-c", "f=$1; shift; exec \"$@\" 2>\"$f\"", "sh", file};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    proc_result r = run_proc(argv, input);
    r.err = read_file(file);
    return r;
}

inline proc_result run_kxdd_err_file(const std::string& dir, const std::vector<std::string>& args,
                                     const std::string& input = {}) {
    std::vector<std::string> cmd{kxdd_bin()};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return run_err_file(dir, cmd, input);
}

// A process the test works with while it runs. Standard error is always
// collected; standard input and output are pipes when asked for, else
// /dev/null. Children start with the default action for the signals the
// tests send, whatever this process does with them.
class live_proc {
public:
    struct options {
        bool pipe_in = false;
        bool pipe_out = false;
        // Standard error to this file (created or emptied) instead of being
        // collected.
        const char* err_file = nullptr;
    };

    live_proc(const std::vector<std::string>& argv, options o) {
        // Writing to a pipe whose reader has gone must give EPIPE here, not end the test.
        signal(SIGPIPE, SIG_IGN);
        int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
        if ((o.pipe_in && pipe2(in, O_CLOEXEC)) || (o.pipe_out && pipe2(out, O_CLOEXEC)) ||
            (!o.err_file && pipe2(err, O_CLOEXEC)))
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (o.pipe_in) posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        else posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        if (o.pipe_out) posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        else posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        if (o.err_file) posix_spawn_file_actions_addopen(&fa, 2, o.err_file, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        else posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, deflt;
        sigemptyset(&none);
        sigemptyset(&deflt);
        for (int s : {SIGPIPE, SIGINT, SIGUSR1}) sigaddset(&deflt, s);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &deflt);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int rc = posix_spawnp(&pid_, args[0], &fa, &attr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        if (o.pipe_in) close(in[0]);
        if (o.pipe_out) close(out[1]);
        if (err[1] >= 0) close(err[1]);
        in_fd_ = o.pipe_in ? in[1] : -1;
        out_fd_ = o.pipe_out ? out[0] : -1;
        err_fd_ = err[0];
        if (rc != 0) {
            pid_ = -1;
            close_in();
            close_out();
            if (err_fd_ >= 0) close(err_fd_);
            err_fd_ = -1;
            throw std::runtime_error(std::string("spawn ") + argv[0] + ": " + strerror(rc));
        }
        for (int fd : {in_fd_, out_fd_, err_fd_})
            if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }

    ~live_proc() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            int st;
            while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
            }
        }
        close_in();
        close_out();
        if (err_fd_ >= 0) close(err_fd_);
    }

    live_proc(const live_proc&) = delete;
    live_proc& operator=(const live_proc&) = delete;

    // Writes all of data to the standard input, reading the outputs
    // meanwhile; false when the reader went away (or no pipe).
    bool feed(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            if (in_fd_ < 0) return false;
            pollfd p[3];
            int n = 0;
            p[n++] = {in_fd_, POLLOUT, 0};
            n = add_readers(p, n);
            if (poll(p, n, 1000) < 0 && errno != EINTR) return false;
            if (p[0].revents & (POLLOUT | POLLERR | POLLHUP)) {
                ssize_t k = write(in_fd_, data.data() + done, data.size() - done);
                if (k > 0) done += static_cast<size_t>(k);
                else if (k < 0 && errno != EAGAIN && errno != EINTR) return false;
            }
            drain(p, n, 1);
        }
        return true;
    }

    void close_in() {
        if (in_fd_ >= 0) close(in_fd_);
        in_fd_ = -1;
    }
    void close_out() {
        if (out_fd_ >= 0) close(out_fd_);
        out_fd_ = -1;
    }

    // Reads up to n bytes of standard output (waiting up to timeout_ms).
    std::string read_out(size_t n, int timeout_ms) {
        wait_until([&] { return out_.size() >= n; }, timeout_ms);
        std::string head = out_.substr(0, n);
        return head;
    }

    void send(int sig) {
        if (pid_ > 0 && !reaped_) kill(pid_, sig);
    }

    // Watches the process until pred holds, the process has ended (pred is
    // then asked one last time) or timeout_ms passed.
    bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (true) {
            if (pred()) return true;
            if (ended()) {
                pump(0);
                return pred();
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pump(20);
        }
    }

    // Closes the input and waits for the end (killing the process after
    // timeout_ms); the exit status, 128 + signal, or -1 after a kill.
    int finish(int timeout_ms = 120000) {
        close_in();
        bool done = wait_until([&] { return false; }, timeout_ms);
        (void)done;
        if (!reaped_) {
            kill(pid_, SIGKILL);
            int st;
            while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
            }
            reaped_ = true;
            status_ = -1;
        }
        // Everything the process wrote is in the pipes by now.
        while (out_fd_ >= 0 || err_fd_ >= 0) {
            if (!pump(100)) break;
        }
        return status_;
    }

    bool ended() {
        if (reaped_) return true;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        return reaped_;
    }

    pid_t pid() const { return pid_; }
    // Bytes fed to the standard input that the process has not read yet.
    int unread_input() const {
        int n = -1;
        if (in_fd_ < 0 || ioctl(in_fd_, FIONREAD, &n) != 0) return -1;
        return n;
    }

    const std::string& err() const { return err_; }
    const std::string& out() const { return out_; }
    int status() const { return status_; }

private:
    int add_readers(pollfd* p, int n) {
        if (out_fd_ >= 0) p[n++] = {out_fd_, POLLIN, 0};
        if (err_fd_ >= 0) p[n++] = {err_fd_, POLLIN, 0};
        return n;
    }

    // Reads what the ready descriptors among p[from..n) hold; false when
    // nothing was read.
    bool drain(pollfd* p, int n, int from) {
        bool got = false;
        char buf[65536];
        for (int i = from; i < n; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int& fd = p[i].fd == out_fd_ ? out_fd_ : err_fd_;
            std::string& dst = p[i].fd == out_fd_ ? out_ : err_;
            ssize_t k = read(fd, buf, sizeof buf);
            if (k > 0) {
                dst.append(buf, static_cast<size_t>(k));
                got = true;
            } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
                close(fd);
                fd = -1;
                got = true;
            }
        }
        return got;
    }

    bool pump(int timeout_ms) {
        pollfd p[2];
        int n = add_readers(p, 0);
        if (n == 0) {
            // Nothing to read: the caller looks at files between waits.
            if (timeout_ms > 0) poll(nullptr, 0, timeout_ms);
            return false;
        }
        if (poll(p, n, timeout_ms) <= 0) return false;
        return drain(p, n, 0);
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    int in_fd_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
};

inline std::vector<std::string> kxdd_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kxdd_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// A copy of the kxdd binary in a directory of its own, where a "kxdd.ini"
// can be put beside it.
struct kxdd_copy {
    temp_dir dir;
    std::string bin = dir.file("kxdd");

    kxdd_copy() {
        std::filesystem::copy_file(kxdd_bin(), bin);
        std::filesystem::permissions(bin, std::filesystem::perms::owner_all);
    }
    void ini(const std::string& text) { write_file(dir.file("kxdd.ini"), text); }
    proc_result run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{bin};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_proc(argv);
    }
};

}  // namespace kxdd_e2e

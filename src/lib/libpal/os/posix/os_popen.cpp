#include "libpal/os/posix/os_popen.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_argv.h"
#include "libpal/string/str_kv.h"
#include "liblog/log2.h"

namespace {

constexpr size_t k_piece = 4096;

// A pipe end moved above the standard descriptors, so that the child's
// dup2 onto 0, 1 and 2 never overwrites another end it still needs.
bool lift(int& fd) {
    if (fd > 2) return true;
    int n = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (n < 0) return false;
    close(fd);
    fd = n;
    return true;
}

void close_fd(int32_t& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Everything the child does between fork and exec; only async-signal-safe calls.
[[noreturn]] void child_run(const char* const* argv, int data, int data_target, int err,
                            const struct sigaction& dfl, const sigset_t& empty) {
    for (int s = 1; s < NSIG; ++s)
        if (s != SIGKILL && s != SIGSTOP) sigaction(s, &dfl, nullptr);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    if (dup2(data, data_target) < 0 || dup2(err, 2) < 0) _exit(errno);
    // Every other descriptor of ours stays with us.
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < 65536; ++fd) close(fd);
    }
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(errno);
}

int map_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) {
        LOG2(LOG2_DBG, "pal", "WIF_SIGNALED\n");
        return WTERMSIG(st);
    }
    return -1;
}

// Reads the data pipe (mode "r") and the error pipe together to their ends.
void drain(os_popen_ctx* h) {
    if (h->drained) return;
    h->drained = true;
    bool out_open = h->reading && h->fd >= 0;
    bool err_open = h->fd_err >= 0;
    char buf[k_piece];
    while (out_open || err_open) {
        pollfd p[2];
        int n = 0, io = -1, ie = -1;
        if (out_open) {
            io = n;
            p[n++] = {h->fd, POLLIN, 0};
        }
        if (err_open) {
            ie = n;
            p[n++] = {h->fd_err, POLLIN, 0};
        }
        if (poll(p, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        auto take = [&](int idx, int fd, std::string& dst, bool& open) {
            if (idx < 0 || !(p[idx].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) return;
            ssize_t k = read(fd, buf, sizeof buf);
            if (k > 0) dst.append(buf, static_cast<size_t>(k));
            else if (k == 0 || errno != EINTR) open = false;
        };
        take(io, h->fd, h->out, out_open);
        take(ie, h->fd_err, h->err, err_open);
    }
}

char* take_text(std::string& s) {
    if (s.empty()) return nullptr;
    char* t = pl_strndup(s.data(), s.size());
    s.clear();
    s.shrink_to_fit();
    return t;
}

// A command text as words (argv_split); the argument vector points into words.
bool split_command(const char* command, std::vector<std::string>& words, std::vector<const char*>& argv) {
    words.clear();
    argv.clear();
    size_t count = 0, chars = 0;
    if (!command || argv_split(command, nullptr, nullptr, &count, &chars) != 0 || count < 2) return false;
    std::vector<char*> ptrs(count);
    std::vector<char> buf(chars);
    if (argv_split(command, ptrs.data(), buf.data(), &count, &chars) != 0) return false;
    for (size_t i = 0; ptrs[i]; ++i) words.emplace_back(ptrs[i]);
    for (auto& w : words) argv.push_back(w.c_str());
    argv.push_back(nullptr);
    return true;
}

os_popen_ctx* popen_text(const char* command, const char* mode) {
    std::vector<std::string> words;
    std::vector<const char*> argv;
    if (!split_command(command, words, argv)) {
        errno = EINVAL;
        return nullptr;
    }
    return os_popen_vec(argv.data(), mode);
}

int run_text(const char* command, char** out, char** err) {
    std::vector<std::string> words;
    std::vector<const char*> argv;
    if (!split_command(command, words, argv)) {
        if (out) *out = nullptr;
        if (err) *err = nullptr;
        errno = EINVAL;
        return -1;
    }
    return os_popen_run_vec(argv.data(), out, err);
}

}  // namespace

os_popen_ctx* os_popen_vec(const char* const* argv, const char* mode) {
    if (!mode || (strcmp(mode, "r") != 0 && strcmp(mode, "w") != 0) || !argv || !argv[0]) {
        errno = EINVAL;
        return nullptr;
    }
    bool reading = mode[0] == 'r';
    int data[2] = {-1, -1}, err[2] = {-1, -1};
    auto fail = [&] {
        int e = errno;
        for (int fd : {data[0], data[1], err[0], err[1]})
            if (fd >= 0) close(fd);
        errno = e;
        return nullptr;
    };
    if (pipe2(data, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return fail();
    for (int* fd : {&data[0], &data[1], &err[0], &err[1]})
        if (!lift(*fd)) return fail();
    auto* h = new (std::nothrow) os_popen_ctx{};
    if (!h) {
        errno = ENOMEM;
        return fail();
    }
    // Prepared here: the child may only make async-signal-safe calls.
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigset_t empty;
    sigemptyset(&empty);
    int child_data = reading ? data[1] : data[0];
    pid_t pid = fork();
    if (pid < 0) {
        delete h;
        return fail();
    }
    if (pid == 0) child_run(argv, child_data, reading ? 1 : 0, err[1], dfl, empty);

    close(child_data);
    close(err[1]);
    h->pid = static_cast<uint32_t>(pid);
    h->fd = reading ? data[0] : data[1];
    h->fd_err = err[0];
    h->reading = reading;
    return h;
}

os_popen_ctx* os_popen(const char* command, const char* mode) { return popen_text(command, mode); }

os_popen_ctx* os_popen_argv(const char* command, const char* mode) { return popen_text(command, mode); }

char* os_popen_read_out(os_popen_ctx* h) {
    if (!h || !h->reading) return nullptr;
    drain(h);
    return take_text(h->out);
}

char* os_popen_read_err(os_popen_ctx* h) {
    if (!h) return nullptr;
    drain(h);
    return take_text(h->err);
}

char* os_fd_read_text(int fd) {
    std::string text;
    char buf[k_piece];
    while (true) {
        ssize_t k = read(fd, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        text.append(buf, static_cast<size_t>(k));
    }
    return take_text(text);
}

int os_perrno(os_popen_ctx* h) {
    if (!h || h->pid == 0) return 0;
    for (int round = 0; round < 1000; ++round) {
        int st = 0;
        pid_t r = waitpid(static_cast<pid_t>(h->pid), &st, WNOHANG);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            h->pid = 0;
            return -1;
        }
        if (r > 0) {
            h->pid = 0;
            return map_status(st);
        }
        os_msleep(1);
    }
    return -1;
}

int os_pwait(os_popen_ctx* h) {
    if (!h || h->pid == 0) return 0;
    int st = 0;
    pid_t r;
    do {
        r = waitpid(static_cast<pid_t>(h->pid), &st, 0);
    } while (r < 0 && errno == EINTR);
    h->pid = 0;
    return r < 0 ? -1 : map_status(st);
}

int os_pclose(os_popen_ctx* h) {
    if (!h) return 0;
    close_fd(h->fd);
    close_fd(h->fd_err);
    // Bounded: a child that keeps running after its pipes are gone is
    // reported and left alone rather than holding the caller forever.
    const unsigned pid = h->pid;
    if (os_perrno(h) < 0 && h->pid != 0) LOG2(LOG2_WARN, "pal", "pid=%u still running after 1 s, not waited for\n", pid);
    delete h;
    return 0;
}

int os_popen_run_vec(const char* const* argv, char** out, char** err) {
    if (out) *out = nullptr;
    if (err) *err = nullptr;
    os_popen_ctx* h = os_popen_vec(argv, "r");
    if (!h) return -1;
    drain(h);
    if (out) *out = take_text(h->out);
    if (err) *err = take_text(h->err);
    close_fd(h->fd);
    close_fd(h->fd_err);
    int status = os_pwait(h);
    os_pclose(h);
    return status;
}

int os_popen_run(const char* command, void*, char** out, char** err) { return run_text(command, out, err); }

int os_popen_run_argv(const char* command, void*, char** out, char** err) { return run_text(command, out, err); }

int get_popen_val_vec(const char* const* argv, const char* key, char* value, size_t size) {
    if (!value || size == 0) return -1;
    value[0] = 0;
    os_popen_ctx* h = os_popen_vec(argv, "r");
    if (!h) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "os_popen error: ");
        return -1;
    }
    drain(h);
    int r = h->out.empty() ? -1 : str_kv_get(h->out.c_str(), "\n", ':', key, value, size);
    os_pclose(h);
    return r;
}

int get_popen_val(const char* command, const char* key, char* value, size_t size) {
    if (!value || size == 0) return -1;
    value[0] = 0;
    std::vector<std::string> words;
    std::vector<const char*> argv;
    if (!split_command(command, words, argv)) {
        errno = EINVAL;
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "os_popen error: ");
        return -1;
    }
    return get_popen_val_vec(argv.data(), key, value, size);
}

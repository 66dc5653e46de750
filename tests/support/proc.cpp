#include "support/proc.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

void set_nonblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

proc_result run_proc(const std::vector<std::string>& argv, const std::string& input,
                     const std::vector<std::string>& env) {
    // A child that exits without reading its input must not end the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) envs.emplace_back(*e);
    for (auto& e : env) envs.push_back(e);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        throw std::runtime_error(std::string("spawn ") + argv[0] + ": " + strerror(rc));
    }

    proc_result r;
    size_t written = 0;
    int wfd = in[1];
    if (input.empty()) {
        close(wfd);
        wfd = -1;
    } else {
        set_nonblock(wfd);
    }
    set_nonblock(out[0]);
    set_nonblock(err[0]);
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open || wfd >= 0) {
        pollfd p[3];
        int n = 0;
        int io = -1, ie = -1, iw = -1;
        if (out_open) { io = n; p[n++] = {out[0], POLLIN, 0}; }
        if (err_open) { ie = n; p[n++] = {err[0], POLLIN, 0}; }
        if (wfd >= 0) { iw = n; p[n++] = {wfd, POLLOUT, 0}; }
        if (poll(p, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        auto drain = [&](int idx, int fd, std::string& dst, bool& open) {
            if (idx < 0 || !(p[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t k = read(fd, buf, sizeof buf);
            if (k > 0) dst.append(buf, k);
            else if (k == 0 || (errno != EAGAIN && errno != EINTR)) open = false;
        };
        drain(io, out[0], r.out, out_open);
        drain(ie, err[0], r.err, err_open);
        if (iw >= 0 && (p[iw].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t k = write(wfd, input.data() + written, input.size() - written);
            if (k > 0) written += k;
            if ((k < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close(wfd);
                wfd = -1;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

std::string kxdd_bin() {
    if (const char* b = getenv("KXDD_BIN_OVERRIDE")) return b;
#ifdef KXDD_BIN
    return KXDD_BIN;
#else
    return "kxdd";
#endif
}

proc_result run_kxdd(const std::vector<std::string>& args, const std::string& input,
                     const std::vector<std::string>& env) {
    std::vector<std::string> argv{kxdd_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_proc(argv, input, env);
}

std::string strip_ansi(const std::string& text) {
    std::string o;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t j = i + 2;
            while (j < text.size() && !(text[j] >= '@' && text[j] <= '~')) ++j;
            i = j;
            continue;
        }
        o += text[i];
    }
    return o;
}

std::string first_line(const std::string& text) {
    std::string s = strip_ansi(text);
    return s.substr(0, s.find('\n'));
}

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/kxdd-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

#include "kxsd_server/kxsd_server_proc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

constexpr const char* kPython = "/usr/bin/python3";
// A bound on start-up only; the server prints its port as soon as it listens.
constexpr int kStartMs = 30000;

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string kxsd_server_proc::script() { return KXSD_SERVER_SCRIPT; }

kxsd_server_proc::kxsd_server_proc(const std::vector<std::string>& args) {
    root_ = dir_.file("root");
    log_ = dir_.file("requests.jsonl");
    ::mkdir(root_.c_str(), 0755);

    std::vector<std::string> argv = {kPython, script(), "--root", root_, "--log", log_};
    argv.insert(argv.end(), args.begin(), args.end());

    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    if (pid_ == 0) {
        // Never outlive the test.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(out[1], 1);
        ::execv(kPython, cargv.data());
        ::_exit(127);
    }
    ::close(out[1]);

    // The first line of its output is the port.
    std::string line;
    const int64_t deadline = now_ms() + kStartMs;
    while (line.find('\n') == std::string::npos) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) {
            error_ = "the server printed no port";
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[64];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) {
            error_ = "the server ended before printing its port";
            break;
        }
        line.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (error_.empty()) {
        const long port = std::strtol(line.c_str(), nullptr, 10);
        if (port > 0 && port < 65536) port_ = static_cast<uint16_t>(port);
        else error_ = "bad port line: " + line;
    }
    if (!port_) stop();
}

kxsd_server_proc::~kxsd_server_proc() { stop(); }

void kxsd_server_proc::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

int kxsd_server_proc::wait_exit(int timeout_ms) {
    if (pid_ <= 0) return status_;
    // A process descriptor becomes readable when the process ends.
    const int pfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pfd < 0) return -1;
    pollfd p{pfd, POLLIN, 0};
    int r;
    while ((r = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    ::close(pfd);
    if (r <= 0) return -1;
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
}

std::vector<mini_json> kxsd_server_proc::log() const {
    std::vector<mini_json> out;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
        mini_json v;
        if (mini_json::parse(line, &v)) out.push_back(std::move(v));
    }
    return out;
}

std::vector<mini_json> kxsd_server_proc::requests() const {
    std::vector<mini_json> out;
    for (auto& r : log()) {
        if (r.has("cmd")) out.push_back(r);
    }
    return out;
}

std::vector<mini_json> kxsd_server_proc::requests(int cmd) const {
    std::vector<mini_json> out;
    for (auto& r : log()) {
        if (r.has("cmd") && r["cmd"].i() == cmd) out.push_back(r);
    }
    return out;
}

// Test rig of the network layer: loopback peers in threads of the test, a
// scripted fake proxy, proxy daemons started by the test, and a clean
// proxy environment.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "libblock/bd.h"
#include "libnet/libnet.h"
#include "libpal/basic/verr.h"
#include "support/proc.h"

extern char** environ;

namespace net_test {

// Longest any peer of the rig waits for anything: far above every
// deadline under test, so it only ends a test that has already failed.
constexpr int k_rig_wait_ms = 30000;

// ------------------------------------------------------------ environment

// Unsets the proxy variables (and KX_PROXY_FILE) while it lives, so that a
// proxy of the machine never reroutes the loopback traffic of a test.
class proxy_env_guard {
public:
    proxy_env_guard() {
        for (size_t i = 0; i < k_n; ++i) {
            if (const char* v = getenv(k_names[i])) old_[i] = v;
            unsetenv(k_names[i]);
        }
    }
    ~proxy_env_guard() {
        for (size_t i = 0; i < k_n; ++i) {
            if (old_[i]) setenv(k_names[i], old_[i]->c_str(), 1);
            else unsetenv(k_names[i]);
        }
    }
    proxy_env_guard(const proxy_env_guard&) = delete;
    proxy_env_guard& operator=(const proxy_env_guard&) = delete;

private:
    static constexpr size_t k_n = 7;
    static constexpr const char* k_names[k_n] = {"http_proxy", "https_proxy", "no_proxy",     "HTTP_PROXY",
                                                 "HTTPS_PROXY", "NO_PROXY",   "KX_PROXY_FILE"};
    std::optional<std::string> old_[k_n];
};

// Milliseconds since construction (monotonic).
class stopwatch {
public:
    int64_t ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0_).count();
    }

private:
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
};

// ------------------------------------------------------------ raw sockets

// A descriptor closed when it goes.
class fd_guard {
public:
    explicit fd_guard(int fd = -1) : fd_(fd) {}
    ~fd_guard() { reset(); }
    fd_guard(fd_guard&& o) noexcept : fd_(o.release()) {}
    fd_guard& operator=(fd_guard&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// A listening TCP socket on 127.0.0.1 and a port of the system's choice.
struct tcp_listener {
    fd_guard fd;
    uint16_t port = 0;

    explicit tcp_listener(int backlog = 16) {
        fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd.get(), backlog) != 0)
            ADD_FAILURE() << "listener: " << strerror(errno);
        socklen_t len = sizeof a;
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }

    // The next connection (blocking descriptor), or -1 after k_rig_wait_ms.
    int accept_one(int wait_ms = k_rig_wait_ms) const {
        pollfd p{fd.get(), POLLIN, 0};
        if (poll(&p, 1, wait_ms) != 1) return -1;
        return accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// A port that was free a moment ago (for daemons that pick no port themselves).
inline uint16_t free_port() {
    tcp_listener l;
    return l.port;
}

// A blocking client connection to 127.0.0.1:port, or -1.
inline int connect_raw(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly n bytes (false at EOF, failure or after k_rig_wait_ms).
inline bool read_exact(int fd, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    size_t got = 0;
    while (got < n) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, k_rig_wait_ms) != 1) return false;
        ssize_t r = read(fd, p + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

inline bool write_all(int fd, const void* buf, size_t n) {
    const auto* p = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}
inline bool write_all(int fd, const std::string& s) { return write_all(fd, s.data(), s.size()); }

// Waits until the peer closes (or k_rig_wait_ms), dropping what it sends.
inline void wait_eof(int fd) {
    char buf[4096];
    for (;;) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, k_rig_wait_ms) != 1) return;
        if (read(fd, buf, sizeof buf) <= 0) return;
    }
}

// Sends RST instead of FIN when closed.
inline void set_linger0(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// A peer: one accepted connection served by a function in its own thread.
class tcp_peer {
public:
    explicit tcp_peer(std::function<void(int fd)> serve, int backlog = 16) : lst_(backlog) {
        th_ = std::thread([this, serve = std::move(serve)] {
            fd_guard c(lst_.accept_one());
            if (c.get() >= 0) serve(c.get());
        });
    }
    ~tcp_peer() { join(); }
    void join() {
        if (th_.joinable()) th_.join();
    }
    uint16_t port() const { return lst_.port; }

private:
    tcp_listener lst_;
    std::thread th_;
};

// An echo server on 127.0.0.1 for any number of connections: the target
// behind the proxies.
class echo_server {
public:
    echo_server() {
        th_ = std::thread([this] {
            while (!done_) {
                int c = lst_.accept_one(100);
                if (c < 0) continue;
                conns_.emplace_back([c] {
                    fd_guard g(c);
                    char buf[4096];
                    for (;;) {
                        pollfd pf{c, POLLIN, 0};
                        if (poll(&pf, 1, k_rig_wait_ms) != 1) return;
                        ssize_t r = read(c, buf, sizeof buf);
                        if (r <= 0 || !write_all(c, buf, static_cast<size_t>(r))) return;
                    }
                });
            }
        });
    }
    ~echo_server() {
        done_ = true;
        th_.join();
        for (auto& t : conns_) t.join();
    }
    uint16_t port() const { return lst_.port; }

private:
    tcp_listener lst_;
    std::atomic<bool> done_{false};
    std::thread th_;
    std::vector<std::thread> conns_;
};

// ------------------------------------------------------------ fake proxy

// One step of the fake proxy's script.
struct fake_step {
    enum kind_t { read_n, read_until, send, close_now } kind;
    size_t n = 0;       // read_n: bytes
    std::string text;   // read_until: the end mark; send: the bytes
    bool split = false; // send: one byte per write
};
inline fake_step expect_bytes(size_t n) { return {fake_step::read_n, n, {}, false}; }
inline fake_step expect_until(std::string mark) { return {fake_step::read_until, 0, std::move(mark), false}; }
inline fake_step reply(std::string bytes, bool split = false) {
    return {fake_step::send, 0, std::move(bytes), split};
}
inline fake_step hang_up() { return {fake_step::close_now, 0, {}, false}; }

// A scripted proxy for byte-exact cases: accepts one connection, runs the
// script, then waits until the client closes. received() holds every byte
// the client sent (read it after finish()).
class fake_proxy {
public:
    explicit fake_proxy(std::vector<fake_step> script) {
        th_ = std::thread([this, script = std::move(script)] { run(script); });
    }
    ~fake_proxy() { finish(); }
    uint16_t port() const { return lst_.port; }
    void finish() {
        if (th_.joinable()) th_.join();
    }
    const std::string& received() const { return got_; }

private:
    void run(const std::vector<fake_step>& script) {
        fd_guard c(lst_.accept_one());
        if (c.get() < 0) return;
        for (const auto& s : script) {
            switch (s.kind) {
            case fake_step::read_n: {
                std::string b(s.n, '\0');
                if (!read_exact(c.get(), b.data(), s.n)) return wait_done(c.get());
                got_ += b;
                break;
            }
            case fake_step::read_until:
                while (got_.size() < s.text.size() || got_.compare(got_.size() - s.text.size(), npos, s.text) != 0) {
                    char ch;
                    if (!read_exact(c.get(), &ch, 1)) return;
                    got_ += ch;
                }
                break;
            case fake_step::send:
                if (s.split) {
                    for (char ch : s.text)
                        if (!write_all(c.get(), &ch, 1)) return;
                } else if (!write_all(c.get(), s.text)) {
                    return;
                }
                break;
            case fake_step::close_now: return;
            }
        }
        wait_done(c.get());
    }
    // Keeps what else arrives, until the client closes.
    void wait_done(int fd) {
        char buf[4096];
        for (;;) {
            pollfd pf{fd, POLLIN, 0};
            if (poll(&pf, 1, k_rig_wait_ms) != 1) return;
            ssize_t r = read(fd, buf, sizeof buf);
            if (r <= 0) return;
            got_.append(buf, static_cast<size_t>(r));
        }
    }
    static constexpr size_t npos = std::string::npos;
    tcp_listener lst_;
    std::string got_;
    std::thread th_;
};

// ------------------------------------------------------------ daemons

// The path of a program, or empty when it is not installed.
inline std::string find_program(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/", "/usr/local/sbin/", "/bin/", "/sbin/"}) {
        std::string p = std::string(dir) + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// A daemon started by the test, its output in a log file; ended (by its
// process id) when the object goes.
class daemon_proc {
public:
    daemon_proc(const std::vector<std::string>& argv, const std::string& log_path) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~daemon_proc() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int st;
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, &st, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
    }
    daemon_proc(const daemon_proc&) = delete;
    daemon_proc& operator=(const daemon_proc&) = delete;
    bool started() const { return pid_ > 0; }
    bool running() const {
        int st;
        return pid_ > 0 && waitpid(pid_, &st, WNOHANG) == 0;
    }
    // Waits until the daemon accepts connections on 127.0.0.1:port (polled;
    // bounded by k_rig_wait_ms). False when it exits or never listens.
    bool wait_listening(uint16_t port) const {
        stopwatch w;
        while (w.ms() < k_rig_wait_ms) {
            if (!running()) return false;
            int fd = connect_raw(port);
            if (fd >= 0) {
                close(fd);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    pid_t pid_ = -1;
};

// ------------------------------------------------------------ helpers

// A channel over a socket handle of sock_tcp_init.
inline net_chan chan_of(uint64_t sock, int32_t timeout) {
    net_chan c{};
    c.kind = NET_CHAN_TCP;
    c.handle = sock;
    c.timeout = timeout;
    return c;
}

// Sends a text through the tunnel and reads it back from the echo server.
inline std::string echo_through(uint64_t sock, const std::string& text) {
    net_chan c = chan_of(sock, 10000);
    if (net_write(&c, text.data(), static_cast<uint32_t>(text.size())) != static_cast<int32_t>(text.size()))
        return "<write failed>";
    std::string back(text.size(), '\0');
    int32_t n = net_read(&c, back.data(), static_cast<uint32_t>(back.size()));
    if (n < 0) return "<read failed>";
    back.resize(static_cast<size_t>(n));
    return back;
}

// Connect options of a test: a connect timeout and a proxy.
inline std::unique_ptr<sock_opts> opts_with(int32_t timeout_ms, uint32_t kind = CONF_PROXY_NONE,
                                            uint16_t proxy_port = 0, const char* user = "", const char* pwd = "") {
    auto o = std::make_unique<sock_opts>();
    o->connect_timeout = timeout_ms;
    o->proxy.kind = kind;
    if (kind != CONF_PROXY_NONE) {
        strcpy(o->proxy.proto, conf_proxy_id_2_str(kind));
        strcpy(o->proxy.ip, "127.0.0.1");
        o->proxy.port = proxy_port;
        snprintf(o->proxy.user, sizeof o->proxy.user, "%s", user);
        snprintf(o->proxy.pwd, sizeof o->proxy.pwd, "%s", pwd);
    }
    return o;
}

inline std::unique_ptr<verr_info> new_err() { return std::make_unique<verr_info>(); }

}  // namespace net_test

// Servers for the tests of the URL driver, all on 127.0.0.1 and owned by
// the test that starts them:
//   - nginx (HTTP, or HTTPS with a self-signed certificate made by openssl),
//     on a socket the test has already bound, so it is ready at once;
//   - vsftpd (FTP, or implicit FTPS) in inetd mode: the test accepts each
//     control connection and hands it to a vsftpd of its own;
//   - tinyproxy (HTTP proxy) and microsocks (SOCKS5 proxy);
//   - a scripted HTTP server on a thread of the test, for answers no real
//     server gives on purpose (no Range support, a cut body, a stall).
// A program that is not installed skips the test, or fails it under CI.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/proc.h"

extern char** environ;

namespace curl_test {

// The path of an installed program (PATH, then the system directories), or "".
inline std::string find_program(const std::string& name) {
    std::string dirs = getenv("PATH") ? getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos) end = dirs.size();
        std::string p = dirs.substr(pos, end - pos) + "/" + name;
        if (end > pos && access(p.c_str(), X_OK) == 0) return p;
        pos = end + 1;
    }
    return {};
}

inline bool in_ci() {
    const char* ci = getenv("CI");
    return ci && *ci && strcmp(ci, "false") != 0 && strcmp(ci, "0") != 0;
}

// Skips the test (fails it under CI) when a program is missing.
#define CURL_TEST_NEED(prog)                                                                        \
    do {                                                                                            \
        if (::curl_test::find_program(prog).empty()) {                                              \
            if (::curl_test::in_ci()) FAIL() << "the program " << (prog) << " is missing";          \
            GTEST_SKIP() << "the program " << (prog) << " is missing";                              \
        }                                                                                           \
    } while (0)

using clock_type = std::chrono::steady_clock;

// A TCP socket listening on 127.0.0.1 at a port of the kernel's choice.
struct listener {
    int fd = -1;
    uint16_t port = 0;
    listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            close_fd();
            return;
        }
        port = ntohs(a.sin_port);
    }
    ~listener() { close_fd(); }
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;
    void close_fd() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

// A port that was free a moment ago, for servers that bind their own socket.
inline uint16_t free_port() {
    listener l;
    return l.port;
}

// Whether something accepts connections on the port: tried until the
// deadline (for servers that bind their socket themselves), or until
// alive() says the server has gone.
inline bool wait_port(uint16_t port, int timeout_ms, const std::function<bool()>& alive) {
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (clock_type::now() < deadline) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok) return true;
        if (!alive()) return false;
        poll(nullptr, 0, 10);
    }
    return false;
}

// A child process: started with fork and exec in a process group of its
// own, given the signal death_sig when the test process dies, ended with
// its group (term_sig, then waited for) with the object. Standard input and output are the given descriptors (-1:
// /dev/null), standard error goes to err_path (or /dev/null), and keep_fd
// stays open across the exec.
class child_proc {
public:
    child_proc() = default;
    child_proc(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra, int io_fd = -1,
               int keep_fd = -1, const std::string& err_path = "", int death_sig = SIGKILL, int term_sig = SIGKILL)
        : term_sig_(term_sig) {
        std::vector<std::string> envs;
        for (char** e = environ; *e; ++e) envs.emplace_back(*e);
        envs.insert(envs.end(), env_extra.begin(), env_extra.end());
        std::vector<char*> args, envp;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (auto& e : envs) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        int err_fd =
            err_path.empty() ? null_fd : open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (err_fd < 0) err_fd = null_fd;
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // A group of its own: the server's helper processes end with it.
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, death_sig);
            if (getppid() != parent) _exit(127);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) signal(s, SIG_DFL);
            int in = io_fd >= 0 ? io_fd : null_fd;
            dup2(in, 0);
            dup2(in, 1);
            dup2(err_fd, 2);
            // Only the three standard descriptors and keep_fd go on.
            int keep = keep_fd > 2 ? keep_fd : 3;
            if (keep > 3) close_range(3, static_cast<unsigned>(keep - 1), 0);
            close_range(static_cast<unsigned>(keep + (keep_fd > 2 ? 1 : 0)), ~0u, 0);
            if (keep_fd > 2) fcntl(keep_fd, F_SETFD, 0);
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        if (err_fd != null_fd) close(err_fd);
        close(null_fd);
    }
    ~child_proc() { stop(); }
    child_proc(child_proc&& o) noexcept : pid_(o.pid_), term_sig_(o.term_sig_), status_(o.status_) { o.pid_ = -1; }
    child_proc& operator=(child_proc&& o) noexcept {
        if (this != &o) {
            stop();
            pid_ = o.pid_;
            term_sig_ = o.term_sig_;
            status_ = o.status_;
            o.pid_ = -1;
        }
        return *this;
    }

    bool running() {
        if (pid_ <= 0) return false;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
            return false;
        }
        return true;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(-pid_, term_sig_);
        kill(pid_, term_sig_);
        int st;
        while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    int term_sig_ = SIGKILL;
    int status_ = -1;
};

// A self-signed certificate and its key, made by openssl.
struct cert_files {
    std::string cert, key, error;
    explicit cert_files(const std::string& dir) {
        cert = dir + "/cert.pem";
        key = dir + "/key.pem";
        proc_result r = run_proc({find_program("openssl"), "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                  "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert, "-days",
                                  "2", "-subj", "/CN=127.0.0.1"});
        if (r.status != 0) error = "openssl req: " + r.err;
    }
};

// nginx serving root() on its port, HTTP or HTTPS. The access log has one
// line per request: "<status> <bytes sent> <range header> <request line>".
class nginx_server {
public:
    explicit nginx_server(bool tls = false, const std::string& extra_server_conf = "") : tls_(tls) {
        root_ = dir_.file("www");
        mkdir(root_.c_str(), 0755);
        chmod(dir_.path.c_str(), 0755);
        if (sock_.port == 0) {
            error_ = "no listening socket";
            return;
        }
        std::string ssl;
        if (tls) {
            cert_files c(dir_.path);
            if (!c.error.empty()) {
                error_ = c.error;
                return;
            }
            ssl = "    ssl_certificate " + c.cert + ";\n    ssl_certificate_key " + c.key + ";\n";
        }
        const std::string d = dir_.path;
        std::string conf = std::string(geteuid() == 0 ? "user root;\n" : "") +
                           "daemon off;\n"
                           "worker_processes 1;\n"
                           "pid " + d + "/nginx.pid;\n"
                           "error_log " + d + "/error.log info;\n"
                           "events { worker_connections 64; }\n"
                           "http {\n"
                           "  log_format t '$status $body_bytes_sent \"$http_range\" \"$request\"';\n"
                           "  access_log " + d + "/access.log t;\n"
                           "  client_body_temp_path " + d + "/body;\n"
                           "  proxy_temp_path " + d + "/proxy;\n"
                           "  fastcgi_temp_path " + d + "/fastcgi;\n"
                           "  uwsgi_temp_path " + d + "/uwsgi;\n"
                           "  scgi_temp_path " + d + "/scgi;\n"
                           "  server {\n"
                           "    listen 127.0.0.1:" + std::to_string(sock_.port) + (tls ? " ssl" : "") + ";\n" + ssl +
                           "    root " + root_ + ";\n" + extra_server_conf +
                           "  }\n"
                           "}\n";
        write_file(d + "/nginx.conf", conf);
        // nginx takes the bound socket over ("NGINX=<fd>;"), so connects
        // wait in its backlog instead of failing before it is up.
        proc_ = child_proc({find_program("nginx"), "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"},
                           {"NGINX=" + std::to_string(sock_.fd) + ";"}, -1, sock_.fd, d + "/stderr.log", SIGTERM,
                           SIGTERM);
        if (proc_.pid() <= 0) error_ = "nginx did not start";
    }
    bool started() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    uint16_t port() const { return sock_.port; }
    const std::string& root() const { return root_; }
    std::string url(const std::string& path) const {
        return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(sock_.port) + path;
    }
    std::string access_log() const { return read_file(dir_.file("access.log")); }
    std::string dir() const { return dir_.path; }

private:
    temp_dir dir_;
    listener sock_;
    bool tls_;
    std::string root_, error_;
    child_proc proc_;
};

// vsftpd serving root() to anonymous users, FTP or implicit FTPS: every
// control connection is accepted here and handed to a vsftpd of its own
// (inetd mode). Needs root (vsftpd changes its user and root directory).
class ftp_server {
public:
    explicit ftp_server(bool tls = false) : tls_(tls) {
        root_ = dir_.file("root");
        std::string empty = dir_.file("empty");
        mkdir(root_.c_str(), 0755);
        mkdir(empty.c_str(), 0755);
        chmod(dir_.path.c_str(), 0755);
        std::string conf =
            "listen=NO\nlisten_ipv6=NO\nanonymous_enable=YES\nno_anon_password=YES\nlocal_enable=NO\n"
            "write_enable=NO\nseccomp_sandbox=NO\nftp_username=ftp\nxferlog_enable=YES\n"
            "anon_root=" + root_ + "\nsecure_chroot_dir=" + empty + "\nvsftpd_log_file=" + dir_.file("vsftpd.log") +
            "\n";
        if (tls) {
            cert_files c(dir_.path);
            if (!c.error.empty()) {
                error_ = c.error;
                return;
            }
            conf += "ssl_enable=YES\nimplicit_ssl=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                    "force_anon_data_ssl=YES\nrequire_ssl_reuse=NO\nssl_ciphers=HIGH\nrsa_cert_file=" + c.cert +
                    "\nrsa_private_key_file=" + c.key + "\n";
        }
        conf_ = dir_.file("vsftpd.conf");
        write_file(conf_, conf);
        if (sock_.port == 0 || pipe2(stop_, O_CLOEXEC) != 0) {
            error_ = "no listening socket";
            return;
        }
        thread_ = std::thread([this] { accept_loop(); });
    }
    ~ftp_server() {
        if (thread_.joinable()) {
            char c = 1;
            (void)!write(stop_[1], &c, 1);
            thread_.join();
        }
        std::lock_guard<std::mutex> lock(mu_);
        procs_.clear();
        for (int fd : stop_)
            if (fd >= 0) close(fd);
    }
    bool started() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& root() const { return root_; }
    std::string url(const std::string& path) const {
        return std::string(tls_ ? "ftps" : "ftp") + "://127.0.0.1:" + std::to_string(sock_.port) + path;
    }
    std::string log() const { return read_file(dir_.file("vsftpd.log")); }

private:
    void accept_loop() {
        const std::string prog = find_program("vsftpd");
        while (true) {
            pollfd p[2] = {{sock_.fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (p[1].revents) return;
            int c = accept4(sock_.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            child_proc child({prog, conf_}, {}, c, -1, dir_.file("stderr.log"));
            close(c);
            std::lock_guard<std::mutex> lock(mu_);
            procs_.push_back(std::move(child));
        }
    }

    temp_dir dir_;
    listener sock_;
    bool tls_;
    std::string root_, conf_, error_;
    int stop_[2] = {-1, -1};
    std::mutex mu_;
    std::vector<child_proc> procs_;
    std::thread thread_;
};

// A proxy program on a port of its own: tinyproxy (HTTP, CONNECT too) or
// microsocks (SOCKS5, with a user and password when given).
class proxy_server {
public:
    static proxy_server tinyproxy() { return proxy_server(true, "", ""); }
    static proxy_server socks5(const std::string& user = "", const std::string& pwd = "") {
        return proxy_server(false, user, pwd);
    }
    proxy_server(proxy_server&&) = default;
    bool started() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    uint16_t port() const { return port_; }
    // What the proxy wrote about its clients.
    std::string log() const { return read_file(dir_->file("proxy.log")); }

private:
    proxy_server(bool http, const std::string& user, const std::string& pwd) : dir_(std::make_unique<temp_dir>()) {
        chmod(dir_->path.c_str(), 0777);
        // The port is chosen before the proxy binds it: another test may
        // take it meanwhile, so a proxy that ends at once is started again.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = free_port();
            std::vector<std::string> argv;
            if (http) {
                std::string conf = "Port " + std::to_string(port_) +
                                   "\nListen 127.0.0.1\nTimeout 60\nMaxClients 16\nAllow 127.0.0.1\n"
                                   "LogLevel Info\nLogFile \"" + dir_->file("proxy.log") + "\"\n";
                if (geteuid() == 0) conf += "User root\nGroup root\n";
                write_file(dir_->file("tinyproxy.conf"), conf);
                argv = {find_program("tinyproxy"), "-d", "-c", dir_->file("tinyproxy.conf")};
            } else {
                argv = {find_program("microsocks"), "-i", "127.0.0.1", "-p", std::to_string(port_)};
                if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", pwd});
            }
            proc_ = std::make_unique<child_proc>(argv, std::vector<std::string>{}, -1, -1,
                                                 dir_->file(http ? "stderr.log" : "proxy.log"));
            if (wait_port(port_, 20000, [&] { return proc_->running(); })) {
                error_.clear();
                return;
            }
            error_ = std::string(http ? "tinyproxy" : "microsocks") + " did not listen on its port";
        }
    }

    std::unique_ptr<temp_dir> dir_;
    uint16_t port_ = 0;
    std::string error_;
    std::unique_ptr<child_proc> proc_;
};

// ---------------------------------------------------------------- scripted

// One request as the scripted server saw it: its head (request line and
// headers) and the start of its Range header (-1 when none).
struct seen_request {
    std::string head;
    long long range_start = -1;
    long long range_end = -1;
};

inline bool send_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// An HTTP server on a thread of the test. Each connection carries one
// request, answered by the handler, and is closed after it.
class scripted_http {
public:
    // The handler writes the answer to fd; it may call wait_end(fd) to hold
    // the connection until the client drops it or the server ends.
    using handler = std::function<void(scripted_http& srv, int fd, const seen_request& req)>;

    explicit scripted_http(handler h) : handler_(std::move(h)) {
        if (sock_.port == 0 || pipe2(stop_, O_CLOEXEC) != 0) return;
        thread_ = std::thread([this] { serve(); });
    }
    ~scripted_http() {
        if (thread_.joinable()) {
            char c = 1;
            (void)!write(stop_[1], &c, 1);
            thread_.join();
        }
        for (int fd : stop_)
            if (fd >= 0) close(fd);
    }
    bool started() const { return thread_.joinable(); }
    uint16_t port() const { return sock_.port; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(sock_.port) + path; }

    std::vector<seen_request> requests() {
        std::lock_guard<std::mutex> lock(mu_);
        return seen_;
    }
    // Waits until n requests have arrived (false after timeout_ms).
    bool wait_requests(size_t n, int timeout_ms) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return seen_.size() >= n; });
    }
    // Holds the connection until the client closes it or the server ends.
    void wait_end(int fd) {
        char buf[4096];
        while (true) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR) return;
            if (p[1].revents) return;
            if (p[0].revents) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) return;
            }
        }
    }

    // Answers: the part [start, end] of body as 206, or the whole body as
    // 200 when the request has no Range.
    static void answer_range(int fd, const seen_request& req, const std::string& body) {
        if (req.range_start < 0) {
            send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body);
            return;
        }
        long long end = std::min<long long>(req.range_end, static_cast<long long>(body.size()) - 1);
        std::string part = body.substr(static_cast<size_t>(req.range_start),
                                       static_cast<size_t>(end - req.range_start + 1));
        send_all(fd, "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(req.range_start) + "-" +
                         std::to_string(end) + "/" + std::to_string(body.size()) + "\r\nContent-Length: " +
                         std::to_string(part.size()) + "\r\nConnection: close\r\n\r\n" + part);
    }

private:
    void serve() {
        while (true) {
            pollfd p[2] = {{sock_.fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (p[1].revents) return;
            int c = accept4(sock_.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            seen_request req;
            if (read_head(c, &req.head)) {
                parse_range(&req);
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    seen_.push_back(req);
                }
                cv_.notify_all();
                handler_(*this, c, req);
            }
            close(c);
        }
    }

    bool read_head(int fd, std::string* head) {
        char buf[4096];
        while (head->find("\r\n\r\n") == std::string::npos) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR) return false;
            if (p[1].revents) return false;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            head->append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    static void parse_range(seen_request* req) {
        size_t at = req->head.find("\r\nRange: bytes=");
        if (at == std::string::npos) return;
        const char* p = req->head.c_str() + at + 15;
        char* end = nullptr;
        req->range_start = strtoll(p, &end, 10);
        req->range_end = *end == '-' ? strtoll(end + 1, nullptr, 10) : -1;
    }

    handler handler_;
    listener sock_;
    int stop_[2] = {-1, -1};
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<seen_request> seen_;
    std::thread thread_;
};

}  // namespace curl_test

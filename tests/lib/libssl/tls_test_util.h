// Fixtures of the TLS tests: a self-signed certificate made with openssl,
// the scripted Python TLS server (tls_peer.py) as a child process, and a
// client channel connected to it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "libnet/net_chan.h"
#include "libnet/sock_cli.h"
#include "libpal/basic/verr.h"
#include "libssl/ssl_cli.h"
#include "support/proc.h"

extern char** environ;

namespace tls_test {

inline const char* k_python = "/usr/bin/python3";

// Byte i of the server's pattern stream (see tls_peer.py).
inline uint8_t pattern_byte(uint64_t i) { return static_cast<uint8_t>((i + i / 65536) % 256); }

// A certificate and key for 127.0.0.1, made once per test program.
struct keys {
    temp_dir dir;
    bool ok = false;
    std::string cert() const { return dir.file("c.pem"); }
    std::string key() const { return dir.file("k.pem"); }
    keys() {
        try {
            proc_result r = run_proc({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key(),
                                      "-out", cert(), "-days", "2", "-subj", "/CN=127.0.0.1"});
            ok = r.status == 0;
        } catch (...) {
        }
    }
};

inline const keys& test_keys() {
    static keys k;
    return k;
}

// Skips the test without openssl or /usr/bin/python3.
#define TLS_TEST_REQUIRE_TOOLS()                                                       \
    do {                                                                               \
        if (!::tls_test::test_keys().ok) GTEST_SKIP() << "openssl is missing";         \
        if (access(::tls_test::k_python, X_OK) != 0) GTEST_SKIP() << "python3 missing"; \
    } while (0)

// The scripted server, a child process whose output lines the test reads.
class peer {
public:
    peer(const std::string& ciphers, const std::vector<std::string>& steps) {
        std::vector<std::string> argv = {k_python, std::string(KXDD_TEST_SOURCE_DIR) + "/tls_peer.py",
                                         test_keys().cert(), test_keys().key(), ciphers};
        argv.insert(argv.end(), steps.begin(), steps.end());
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        if (pipe2(in, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int rc = posix_spawn(&pid_, k_python, &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(in[0]);
        if (rc != 0) {
            pid_ = -1;
            close(out[0]);
            close(in[1]);
            return;
        }
        fd_ = out[0];
        in_ = in[1];
        std::string first = line();
        if (first.rfind("port ", 0) == 0) port_ = static_cast<uint16_t>(atoi(first.c_str() + 5));
    }
    ~peer() {
        release();
        if (fd_ >= 0) close(fd_);
        if (pid_ > 0) {
            // A server still running after its test is stuck: end it.
            if (waitpid(pid_, nullptr, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
    }
    peer(const peer&) = delete;
    peer& operator=(const peer&) = delete;

    uint16_t port() const { return port_; }
    // Ends the "stall" step: closes the server's standard input.
    void release() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }
    // The next output line, "" at its end or after 30 s of silence.
    std::string line() {
        std::string text;
        for (;;) {
            size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                text = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return text;
            }
            if (fd_ < 0) return "";
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) return "";
            char chunk[512];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Waits for the server to end; its exit status.
    int wait() {
        if (pid_ <= 0) return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int in_ = -1;
    uint16_t port_ = 0;
    std::string buf_;
};

struct conf_deleter {
    void operator()(ssl_cli_conf* c) const { ssl_cli_conf_free(c); }
};
using conf_ptr = std::unique_ptr<ssl_cli_conf, conf_deleter>;

// A plain channel connected to 127.0.0.1:port, closed at the end (after
// its session, if any, has been freed).
struct channel {
    net_chan chan{};
    verr_info err{};
    channel(uint16_t port, int32_t timeout_ms = 15000) {
        sock_opts opts{};
        opts.connect_timeout = 5000;
        chan.kind = NET_CHAN_TCP;
        chan.timeout = timeout_ms;
        chan.handle = sock_tcp_init("127.0.0.1", port, &opts, &err);
    }
    ~channel() {
        if (chan.ssl) ssl_cli_free(static_cast<ssl_cli_session*>(chan.ssl));
        net_close(&chan);
    }
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;
};

}  // namespace tls_test

// A pseudo-terminal for the tests of what is written to a terminal: the
// writer's end (a descriptor that isatty) and the reader's end. The terminal
// is raw, so the reader gets the bytes exactly as written (no "\r" added
// before line breaks).
#pragma once

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

struct pty_pair {
    int reader = -1;
    int writer = -1;

    pty_pair() {
        if (openpty(&reader, &writer, nullptr, nullptr, nullptr) != 0) {
            reader = writer = -1;
            return;
        }
        termios t{};
        tcgetattr(writer, &t);
        cfmakeraw(&t);
        tcsetattr(writer, TCSANOW, &t);
    }
    ~pty_pair() {
        close_writer();
        if (reader >= 0) close(reader);
    }
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;

    bool ok() const { return reader >= 0; }
    void close_writer() {
        if (writer >= 0) close(writer);
        writer = -1;
    }
    // Appends what has been written so far to out, waiting up to timeout_ms
    // for something: 1 when bytes came, 0 when none did, -1 at the end (the
    // writer's end closed everywhere and all read).
    int read_some(std::string& out, int timeout_ms) {
        pollfd p{reader, POLLIN, 0};
        int rc = poll(&p, 1, timeout_ms);
        if (rc < 0) return errno == EINTR ? 0 : -1;
        if (rc == 0) return 0;
        char buf[4096];
        ssize_t n = read(reader, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            return 1;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }
};

// Captures what this process writes to a descriptor (standard error by
// default) through a pseudo-terminal while the capture lives.
struct pty_capture {
    explicit pty_capture(int fd = 2) : fd_(fd) {
        if (!pty_.ok()) return;
        fflush(nullptr);
        saved_ = dup(fd_);
        dup2(pty_.writer, fd_);
    }
    ~pty_capture() { restore(); }
    bool ok() const { return pty_.ok(); }
    // Stops capturing and returns everything written.
    std::string text() {
        restore();
        pty_.close_writer();
        std::string s;
        // Everything is in the terminal's buffer by now.
        while (pty_.ok() && pty_.read_some(s, 5000) == 1) {
        }
        return s;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            fflush(nullptr);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
        }
    }
    int fd_;
    pty_pair pty_;
    int saved_ = -1;
};

// Skips the test when no pseudo-terminal can be had (/dev/ptmx missing or
// closed to the tests); under CI, where the machine gives one, fails it.
#define REQUIRE_PTY(have)                                                                 \
    do {                                                                                  \
        if (!(have)) {                                                                    \
            const char* ci_ = getenv("CI");                                               \
            if (ci_ && *ci_ && std::string(ci_) != "false") FAIL() << "no pseudo-terminal"; \
            GTEST_SKIP() << "no pseudo-terminal can be opened";                           \
        }                                                                                 \
    } while (0)

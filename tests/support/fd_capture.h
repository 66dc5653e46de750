// Captures what the process writes to a file descriptor (standard error by
// default) while the capture lives.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

struct fd_capture {
    explicit fd_capture(int fd = 2) : fd_(fd) {
        fflush(nullptr);
        char tmpl[] = "/tmp/kxdd-fdcap-XXXXXX";
        tmp_ = mkstemp(tmpl);
        unlink(tmpl);
        saved_ = dup(fd_);
        dup2(tmp_, fd_);
    }
    ~fd_capture() { restore(); }
    // Stops capturing and returns everything written.
    std::string text() {
        restore();
        std::string s;
        char buf[4096];
        lseek(tmp_, 0, SEEK_SET);
        ssize_t n;
        while ((n = read(tmp_, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
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
    int tmp_ = -1;
    int saved_ = -1;
};

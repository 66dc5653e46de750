// Collects the lines of the process-wide logger for a test, in place of
// standard error.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct log_capture {
    struct line {
        uint32_t level;
        std::string tag;
        std::string text;
    };
    // Sets the process-wide logger to the given level and plain lines
    // (no prefixes, no colour) while the capture lives.
    explicit log_capture(int level = 8);
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<line> lines() const;
    size_t count() const;
    size_t count(uint32_t level) const;
    bool contains(const std::string& part) const;
    std::string all() const;
    void clear();

private:
    int old_level_;
    uint32_t old_flags_;
};

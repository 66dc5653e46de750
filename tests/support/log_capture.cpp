#include "support/log_capture.h"

#include "liblog/log2.h"

namespace {

std::mutex g_mu;
std::vector<log_capture::line> g_lines;

int capture_cb(uint32_t level, const char* tag, const char* text, uint32_t len) {
    std::lock_guard<std::mutex> g(g_mu);
    g_lines.push_back({level & 0xff, tag ? tag : "", std::string(text, len)});
    return 0;
}

}  // namespace

log_capture::log_capture(int level) {
    old_level_ = log2_get_level(nullptr);
    log2_info info{};
    log2_get_info(nullptr, &info);
    old_flags_ = info.flags;
    {
        std::lock_guard<std::mutex> g(g_mu);
        g_lines.clear();
    }
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, static_cast<uintptr_t>(level), 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0, 0);
    log2_ioctl(nullptr, LOG2_IOC_CB_HIGH, reinterpret_cast<uintptr_t>(&capture_cb), 0);
    log2_ioctl(nullptr, LOG2_IOC_CB_LOW, reinterpret_cast<uintptr_t>(&capture_cb), 0);
    log2_ioctl(nullptr, LOG2_IOC_SHELL_OUT, 0, 0);
}

log_capture::~log_capture() {
    log2_ioctl(nullptr, LOG2_IOC_CB_HIGH, 0, 0);
    log2_ioctl(nullptr, LOG2_IOC_CB_LOW, 0, 0);
    log2_ioctl(nullptr, LOG2_IOC_SHELL_OUT, 1, 0);
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, static_cast<uintptr_t>(old_level_), 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, old_flags_, 0);
}

std::vector<log_capture::line> log_capture::lines() const {
    std::lock_guard<std::mutex> g(g_mu);
    return g_lines;
}

size_t log_capture::count() const {
    std::lock_guard<std::mutex> g(g_mu);
    return g_lines.size();
}

size_t log_capture::count(uint32_t level) const {
    std::lock_guard<std::mutex> g(g_mu);
    size_t n = 0;
    for (auto& l : g_lines) n += l.level == level;
    return n;
}

bool log_capture::contains(const std::string& part) const {
    std::lock_guard<std::mutex> g(g_mu);
    for (auto& l : g_lines)
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

std::string log_capture::all() const {
    std::lock_guard<std::mutex> g(g_mu);
    std::string s;
    for (auto& l : g_lines) s += l.text;
    return s;
}

void log_capture::clear() {
    std::lock_guard<std::mutex> g(g_mu);
    g_lines.clear();
}

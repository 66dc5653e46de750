#include "libpal/env/pl_sysinfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

#include "libpal/env/os_machine.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_info.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_size.h"
#include "libpal/string/str_util.h"

pl_sysinfo g_sysinfo;

namespace {

struct arch_row {
    std::string_view machine;
    uint8_t id;
};

// Ids of the binary log records' architecture table.
constexpr arch_row k_arch[] = {
    {"i386", 1},    {"i486", 1},  {"i586", 1},  {"i686", 1},        {"x86_64", 2},       {"aarch64", 10},
    {"arm64", 10},  {"armv4tl", 12}, {"mips", 20}, {"loongarch32", 24}, {"loongarch64", 25},
};

}  // namespace

uint8_t pl_arch_id(const char* machine) {
    if (!machine) return 0;
    for (const auto& r : k_arch)
        if (r.machine == machine) return r.id;
    return 0;
}

void pl_sysinfo_init() {
    uint32_t ver = g_sysinfo.ver_id;
    pl_sysinfo s{};
    s.ver_id = ver;
    (void)str_safecopy(s.os_name, "linux");
    struct utsname u;
    if (uname(&u) == 0) str_safecopy_trunc(s.arch_name, sizeof s.arch_name, u.machine);
    s.machine_id = os_machine_id();
    s.uptime = os_uptime();
    s.start_ms = static_cast<uint64_t>(os_time_ms());
    os_get_hostname(s.hostname, sizeof s.hostname);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    s.start_clock = static_cast<uint64_t>(now.tv_sec);
    s.os_id = 2;
    s.arch_id = pl_arch_id(s.arch_name);
    g_sysinfo = s;
}

uint64_t os_uptime() {
    struct timespec ts;
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec);
}

uint64_t os_boot_time_ms() {
    struct timespec boot, now;
    if (clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    // Whole seconds, like the kernel's own boot-time record.
    int64_t sec = now.tv_sec - boot.tv_sec - (now.tv_nsec < boot.tv_nsec ? 1 : 0);
    return sec > 0 ? static_cast<uint64_t>(sec) * 1000 : 0;
}

const char* os_info_str() {
    static char text[256];
    static std::once_flag once;
    std::call_once(once, [] {
        if (os_get_info(text, sizeof text) != 0) text[0] = 0;
        str_trim(text);
    });
    return text;
}

uint64_t os_phys_mem_size() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
}

const char* os_mem_info_str() {
    static char text[128];
    char size[32];
    long page = sysconf(_SC_PAGESIZE);
    str_sprintf_s(text, sizeof text, "%s PS=%u", size_to_text_buf(os_phys_mem_size(), 0, size, sizeof size),
                  static_cast<unsigned>(page > 0 ? page : 0));
    return text;
}

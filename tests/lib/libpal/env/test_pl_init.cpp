// Platform start-up: once per process, the umask floor, the
// system-information record and the operating-system description.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "libpal/env/pl_init.h"
#include "libpal/env/pl_sysinfo.h"
#include "libpal/os/posix/os_info.h"
#include "support/proc.h"

namespace {

double proc_uptime() {
    std::ifstream f("/proc/uptime");
    double v = -1;
    f >> v;
    return v;
}

// Runs pl_init in a fresh process that starts with the given umask and
// reports the umask it ends with as its exit status.
[[noreturn]] void umask_after_init(mode_t before) {
    umask(before);
    pl_init();
    mode_t now = umask(0);
    _exit(static_cast<int>(now));
}

TEST(PlInitDeathTest, UmaskIsNeverLooserThan022) {
    // Each case starts a fresh process: start-up acts once per process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct row {
        mode_t before, after;
    };
    const row rows[] = {{0, 022}, {002, 022}, {020, 022}, {022, 022}, {027, 027}, {077, 077}, {0177, 0177}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.before);
        EXPECT_EXIT(umask_after_init(r.before), testing::ExitedWithCode(static_cast<int>(r.after)), "");
    }
}

TEST(PlInitDeathTest, RaisesTheFileLimitsToTheHardLimit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto child = [] {
        pl_init();
        struct rlimit nf, fs;
        getrlimit(RLIMIT_NOFILE, &nf);
        getrlimit(RLIMIT_FSIZE, &fs);
        bool ok = nf.rlim_cur == nf.rlim_max && fs.rlim_cur == fs.rlim_max;
        _exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(PlInit, SecondCallTouchesNothing) {
    pl_init();
    mode_t saved = umask(0);
    struct sigaction old{};
    sigaction(SIGPIPE, nullptr, &old);
    signal(SIGPIPE, SIG_DFL);
    EXPECT_EQ(pl_init(), 0);
    EXPECT_EQ(umask(saved), 0u);
    struct sigaction now{};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(PlSysinfo, RecordDescribesThisMachine) {
    g_sysinfo.ver_id = 0x1070200;
    double before = proc_uptime();
    auto realtime_ms = [] {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    int64_t ms0 = realtime_ms();
    pl_sysinfo_init();
    int64_t ms1 = realtime_ms();
    double after = proc_uptime();

    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    EXPECT_STREQ(g_sysinfo.os_name, "linux");
    EXPECT_EQ(g_sysinfo.os_id, 2);
    EXPECT_STREQ(g_sysinfo.arch_name, u.machine);
    EXPECT_EQ(g_sysinfo.arch_id, pl_arch_id(u.machine));
    EXPECT_EQ(g_sysinfo.ver_id, 0x1070200u) << "the program's version id is kept";
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_STREQ(g_sysinfo.hostname, host[0] ? host : "none");
    EXPECT_GE(g_sysinfo.uptime, static_cast<uint64_t>(std::floor(before)));
    EXPECT_LE(g_sysinfo.uptime, static_cast<uint64_t>(std::ceil(after)));
    EXPECT_GE(static_cast<int64_t>(g_sysinfo.start_clock), ms0 / 1000);
    EXPECT_LE(static_cast<int64_t>(g_sysinfo.start_clock), ms1 / 1000);
    EXPECT_GE(static_cast<int64_t>(g_sysinfo.start_ms), ms0);
    EXPECT_LE(static_cast<int64_t>(g_sysinfo.start_ms), ms1);
}

TEST(PlSysinfo, ArchitectureIds) {
    struct row {
        const char* machine;
        uint8_t id;
    };
    const row rows[] = {{"x86_64", 2}, {"i686", 1}, {"aarch64", 10}, {"loongarch64", 25}, {"riscv64", 0}, {"", 0}};
    for (const auto& r : rows) EXPECT_EQ(pl_arch_id(r.machine), r.id) << r.machine;
    EXPECT_EQ(pl_arch_id(nullptr), 0);
}

TEST(PlSysinfo, BootTimePlusUptimeIsNow) {
    uint64_t boot_ms = os_boot_time_ms();
    uint64_t up = os_uptime();
    auto now = static_cast<uint64_t>(time(nullptr));
    ASSERT_GT(boot_ms, 0u);
    EXPECT_EQ(boot_ms % 1000, 0u);
    // Two readings of different clocks: a second either way.
    EXPECT_LE(boot_ms / 1000 + up, now + 1);
    EXPECT_GE(boot_ms / 1000 + up + 1, now);
}

TEST(PlSysinfo, InfoTextMatchesUnameAndOsRelease) {
    proc_result u = run_proc({"uname", "-s", "-n", "-r", "-v", "-m"});
    ASSERT_EQ(u.status, 0);
    std::string expect = u.out.substr(0, u.out.find('\n'));
    char version[128];
    os_release_version("/etc/os-release", version, sizeof version);
    if (version[0]) expect += std::string(" ") + version;
    EXPECT_EQ(std::string(os_info_str()), expect);
    char text[16];
    EXPECT_EQ(os_get_info(text, sizeof text), 0);
    EXPECT_EQ(std::string(text), expect.substr(0, sizeof text - 1)) << "cut to the given size";
}

TEST(PlSysinfo, OsReleaseVersionId) {
    temp_dir d;
    struct row {
        const char* content;
        const char* expect;
    };
    const row rows[] = {
        {"NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n", "12"},
        {"VERSION_ID=22.04\n", "22.04"},
        {"VERSION_ID='3.18'\r\n", "3.18"},
        {"NAME=Arch\nID=arch\n", ""},
        {"MY_VERSION_ID=7\n", ""},
    };
    for (const auto& r : rows) {
        write_file(d.file("os-release"), r.content);
        char out[32] = "junk";
        os_release_version(d.file("os-release").c_str(), out, sizeof out);
        EXPECT_STREQ(out, r.expect) << r.content;
    }
    char out[32] = "junk";
    os_release_version(d.file("missing").c_str(), out, sizeof out);
    EXPECT_STREQ(out, "");
}

TEST(PlSysinfo, PhysicalMemoryMatchesMemTotal) {
    std::ifstream f("/proc/meminfo");
    std::string key;
    uint64_t kb = 0;
    while (f >> key) {
        if (key == "MemTotal:") {
            f >> kb;
            break;
        }
        f.ignore(1 << 20, '\n');
    }
    ASSERT_GT(kb, 0u);
    uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t bytes = os_phys_mem_size();
    uint64_t expect = kb * 1024;
    EXPECT_LT(bytes > expect ? bytes - expect : expect - bytes, page);
    EXPECT_TRUE(testing::internal::RE::FullMatch(os_mem_info_str(), testing::internal::RE("[0-9.]+[KMGTPE]? PS=[0-9]+")))
        << os_mem_info_str();
    EXPECT_NE(std::string(os_mem_info_str()).find("PS=" + std::to_string(page)), std::string::npos);
}

}  // namespace

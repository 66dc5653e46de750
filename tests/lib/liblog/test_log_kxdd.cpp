// End to end: the "log" section of a kxdd.ini beside a copy of kxdd sends
// the program's log lines to a file, a capture file or syslog.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lib/libbsv/bsv_oracle.h"
#include "lib/liblog/log_net_peer.h"
#include "libbsv/bsv_net.h"
#include "support/proc.h"

namespace {

using namespace log_net_peer;

// A copy of the kxdd binary in a directory of its own, with a kxdd.ini beside it.
struct kxdd_copy {
    temp_dir dir;
    std::string bin = dir.file("kxdd");

    kxdd_copy() {
        std::filesystem::copy_file(kxdd_bin(), bin);
        std::filesystem::permissions(bin, std::filesystem::perms::owner_all);
    }
    void ini(const std::string& text) { write_file(dir.file("kxdd.ini"), text); }
    proc_result copy(size_t bytes = 100000) {
        std::string data(bytes, '\0');
        std::mt19937 gen(7);
        for (auto& ch : data) ch = static_cast<char>(gen());
        write_file(dir.file("in.bin"), data);
        proc_result r = run_proc({bin, "if=" + dir.file("in.bin"), "of=" + dir.file("out.bin")});
        same = read_file(dir.file("out.bin")) == data;
        return r;
    }
    bool same = false;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        out.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return out;
}

TEST(LogKxdd, FileTakesTheLogLines) {
    kxdd_copy k;
    k.ini("[log]\nlevel=dbg\nflags=time|tid|func\nfile_dir=" + k.dir.file("logs") + "\nfile=kxdd.log\n");
    proc_result r = k.copy();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(k.same);
    std::string log = read_file(k.dir.file("logs/kxdd.log"));
    auto lines = lines_of(log);
    ASSERT_GT(lines.size(), 5u) << log;
    const std::regex head(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (VERB |DEBUG|INFO |NOTI |WARN |ERROR|CRIT ) \d+ --- \[[^\]]+\] \S+ .*)");
    for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, head)) << l;
    // The lines of standard error are in the file too, with the function
    // prefix and without the time prefix.
    EXPECT_NE(log.find(" app_baner(): cmdline=["), std::string::npos) << log;
    EXPECT_NE(log.find(" main(): <== ret=0"), std::string::npos) << log;
    EXPECT_NE(r.err.find("cmdline=["), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(k.dir.file("logs/kxdd.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u);

    // A second run with mode "w" starts the file again, with "a" it appends.
    size_t first = lines.size();
    k.ini("[log]\nlevel=dbg\nfile_mode=a\nfile_dir=" + k.dir.file("logs") + "\nfile=kxdd.log\n");
    ASSERT_EQ(k.copy().status, 0);
    EXPECT_GE(lines_of(read_file(k.dir.file("logs/kxdd.log"))).size(), 2 * first - 2);
    k.ini("[log]\nlevel=dbg\nfile_dir=" + k.dir.file("logs") + "\nfile=kxdd.log\n");
    ASSERT_EQ(k.copy().status, 0);
    EXPECT_LE(lines_of(read_file(k.dir.file("logs/kxdd.log"))).size(), first + 2);
}

TEST(LogKxdd, CaptureFile) {
    kxdd_copy k;
    k.ini("[log]\nlevel=dbg\nfile=" + k.dir.file("run.pcap") + "\n");
    proc_result r = k.copy();
    ASSERT_EQ(r.status, 0) << r.err;
    std::string cap = read_file(k.dir.file("run.pcap"));
    ASSERT_GE(cap.size(), 24u);
    EXPECT_EQ(cap.substr(0, 24), std::string("\xd4\xc3\xb2\xa1\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                                             "\x00\x00\x01\x00\x93\x00\x00\x00",
                                             24));
    EXPECT_NE(cap.find("cmdline=["), std::string::npos);
    EXPECT_NE(cap.find("<== ret=0"), std::string::npos);
    if (access("/usr/bin/tcpdump", X_OK) != 0 && access("/usr/sbin/tcpdump", X_OK) != 0)
        GTEST_SKIP() << "tcpdump is not installed";
    proc_result t = run_proc({"tcpdump", "-n", "-r", k.dir.file("run.pcap")});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.err.find("link-type 147"), std::string::npos) << t.err;
    EXPECT_GT(lines_of(t.out).size(), 5u) << t.out;
}

TEST(LogKxdd, SyslogOverUdp) {
    kxdd_copy k;
    udp_receiver rcv;
    ASSERT_GE(rcv.fd, 0);
    k.ini("[log]\nlevel=dbg\nsyslog=udp://127.0.0.1:" + std::to_string(rcv.port) + "\n");
    proc_result r = k.copy();
    ASSERT_EQ(r.status, 0) << r.err;
    std::string all;
    for (std::string m = rcv.next_text(); !m.empty(); m = rcv.next_text(0)) {
        EXPECT_EQ(m.back(), '\0');
        all += m;
    }
    EXPECT_NE(all.find("<15>"), std::string::npos);
    EXPECT_NE(all.find("]: ["), std::string::npos);  // the thread id prefix follows the pid
    EXPECT_NE(all.find("app_baner(): cmdline=["), std::string::npos) << all;
}

// The banner's command line is logged with 0x400: it also goes out as a
// binary record over UDP.
TEST(LogKxdd, BinaryRecordOverUdp) {
    kxdd_copy k;
    udp_receiver rcv;
    ASSERT_GE(rcv.fd, 0);
    k.ini("[log]\nlevel=dbg\nbsvlog=udp://127.0.0.1:" + std::to_string(rcv.port) + "\n");
    proc_result r = k.copy();
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> got = rcv.next();
    bsv_oracle::packet p = bsv_oracle::read_packet(got, BSV_NET_KEY, sizeof BSV_NET_KEY);
    ASSERT_TRUE(p.ok && p.crc_ok) << got.size();
    EXPECT_EQ(p.app_id, 0);  // "kxdd" is not in the app table
    EXPECT_EQ(p.ver_id, 0x01070200u);
    bsv_oracle::record rec = bsv_oracle::read_record(p.data.data(), p.data.size());
    ASSERT_TRUE(rec.ok);
    EXPECT_EQ(rec.texts[4], "app_baner");
    EXPECT_EQ(rec.texts[5].rfind("cmdline=[", 0), 0u) << rec.texts[5];
}

// A syslog peer over TCP that drops every connection at once: the copy
// goes on to its end with exit status 0 (no SIGPIPE turned into a stop).
TEST(LogKxdd, SyslogPeerThatHangsUpDoesNotStopTheCopy) {
    kxdd_copy k;
    tcp_listener l;
    ASSERT_GE(l.fd, 0);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop.load()) {
            int fd = l.accept_within(50);
            if (fd < 0) continue;
            linger lg{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            close(fd);
        }
    });
    k.ini("[log]\nlevel=verb\nsyslog=" + l.url() + "\n");
    proc_result r = k.copy(16 << 20);
    stop.store(true);
    peer.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(k.same);
}

}  // namespace

// The log file output: dated lines, the size cap, modes, the directory for
// relative names, capture files, the output switch and failures.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "libconf/ini/conf.h"
#include "liblog/log2.h"
#include "support/fd_capture.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

// A logger of its own writing plain messages (no line prefixes) to a file.
struct file_logger {
    temp_dir dir;
    log2_ctx* c = log2_new();

    file_logger() {
        log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
        log2_ioctl(c, LOG2_IOC_FLAGS, 0, 0);
        log2_ioctl(c, LOG2_IOC_LEVEL, LOG2_VERB, 0);
    }
    ~file_logger() { log2_exit(c); }
    int open(const std::string& name, bool on = true) {
        int r = static_cast<int>(log2_ioctl(c, LOG2_IOC_FILE, name.c_str()));
        if (on) log2_ioctl(c, LOG2_IOC_FILE_OUT, 1, 0);
        return r;
    }
    void log(const char* tag, const std::string& msg, uint32_t level = LOG2_INFO) {
        log2_printf(c, level, tag, "src/x.cpp", 1, "fn", "%s", msg.c_str());
    }
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) {
            out.push_back(text.substr(at));
            break;
        }
        out.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

const std::regex k_line(R"((\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{6}) (\S+) +(\d+) --- \[([^\]]+)\] (\S+) (.*))");

TEST(LogFile, LineFormat) {
    file_logger f;
    ASSERT_EQ(f.open(f.dir.file("x.log")), 0);
    log2_ioctl(f.c, LOG2_IOC_FLAGS, LOG2_F_FUNC | LOG2_F_TIME, 0);
    f.log("dd_a", "first\n");
    errno = EACCES;
    log2_printf(f.c, LOG2_ERR | LOG2_ERRNO, "dd_a", "x", 1, "fn", "no access: ");
    log2_printf(f.c, LOG2_DBG, "pal", "x", 1, nullptr, "no break");
    auto lines = lines_of(read_file(f.dir.file("x.log")));
    ASSERT_EQ(lines.size(), 3u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, k_line)) << lines[0];
    EXPECT_EQ(m[8], "INFO");
    EXPECT_EQ(lines[0].substr(m.position(8), 6), "INFO  ");  // padded to five
    EXPECT_EQ(std::stoi(m[9]), getpid());
    EXPECT_EQ(m[11], "dd_a");
    // The file text: function prefix and message, no time prefix.
    EXPECT_EQ(m[12], "fn(): first");
    ASSERT_TRUE(std::regex_match(lines[1], m, k_line)) << lines[1];
    EXPECT_EQ(m[8], "ERROR");
    EXPECT_EQ(m[12], std::string("fn(): no access: ") + strerror(EACCES));
    ASSERT_TRUE(std::regex_match(lines[2], m, k_line)) << lines[2];
    EXPECT_EQ(m[8], "DEBUG");
    EXPECT_EQ(m[12], "no break");
    struct stat st {};
    ASSERT_EQ(stat(f.dir.file("x.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u);  // never group- or world-writable
}

// With the cap at 2048 the file is cut, whenever it reaches the cap, to the
// whole lines of its last 1024 bytes: checked against a model of the lines.
TEST(LogFile, CapKeepsTheWholeNewestLines) {
    file_logger f;
    log2_ioctl(f.c, LOG2_IOC_FILE_SIZE, 2048, 0);
    ASSERT_EQ(f.open(f.dir.file("cap.log")), 0);
    std::vector<std::pair<int, size_t>> model;  // line number, bytes
    size_t size = 0;
    size_t header = 0;
    int cuts = 0;
    for (int i = 0; i < 300; ++i) {
        std::string msg = "line " + std::to_string(i) + " " + std::string(static_cast<size_t>(i % 13) * 7, '-') + "\n";
        f.log("t", msg);
        if (i == 0) header = read_file(f.dir.file("cap.log")).size() - msg.size();
        model.emplace_back(i, header + msg.size());
        size += model.back().second;
        if (size >= 2048) {
            // Keep what follows the first line break within the last 1024 bytes.
            size_t start = size - 1024, at = 0, k = 0;
            while (at + model[k].second <= start) at += model[k++].second;
            at += model[k++].second;  // the line the cut point falls in (or starts) goes too
            model.erase(model.begin(), model.begin() + static_cast<ptrdiff_t>(k));
            size -= at;
            ++cuts;
        }
    }
    EXPECT_GT(cuts, 10);
    std::string text = read_file(f.dir.file("cap.log"));
    EXPECT_EQ(text.size(), size);
    auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), model.size());
    for (size_t k = 0; k < lines.size(); ++k) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[k], m, k_line)) << lines[k];
        EXPECT_EQ(m[12].str().substr(0, m[12].str().find(' ', 5)), "line " + std::to_string(model[k].first));
    }
    EXPECT_EQ(model.back().first, 299);
    // Nothing but the log file is left in the directory.
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(f.dir.path)) entries += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(entries, 1u);
}

// Trimming at the cap keeps the file itself: same inode, owner, group and
// mode (a reader following it, the group that may write it), and its content
// is the whole lines of the last half of the cap.
TEST(LogFile, CapTrimsTheSameFileInPlace) {
    file_logger f;
    std::string path = f.dir.file("kept.log");
    std::string old;
    for (int i = 0; old.size() < 2000; ++i) old += "old line " + std::to_string(i) + " ..........\n";
    write_file(path, old);
    ASSERT_EQ(chmod(path.c_str(), 0664), 0);
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0) {
        uid = 4321;
        gid = 4322;
        ASSERT_EQ(chown(path.c_str(), uid, gid), 0);
    }
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    ASSERT_EQ(log_file_set_mode(&f.c->file, "a"), 0);
    log2_ioctl(f.c, LOG2_IOC_FILE_SIZE, 2048, 0);
    ASSERT_EQ(f.open(path), 0);
    f.log("t", "the new line\n");

    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_dev, before.st_dev);
    EXPECT_EQ(after.st_mode & 07777, 0664u);
    EXPECT_EQ(after.st_uid, uid);
    EXPECT_EQ(after.st_gid, gid);
    // The whole lines of the last 1024 bytes of old content plus the new line.
    std::string text = read_file(path);
    ASSERT_GE(text.size(), 2u);
    size_t last = text.rfind('\n', text.size() - 2);
    ASSERT_NE(last, std::string::npos);
    std::string line = text.substr(last + 1);
    EXPECT_NE(line.find("the new line"), std::string::npos) << line;
    std::string whole = old + line;
    std::string tail = whole.substr(whole.size() - 1024);
    EXPECT_EQ(text, tail.substr(tail.find('\n') + 1));
    // Later lines still go to the same file.
    f.log("t", "one more\n");
    struct stat later {};
    ASSERT_EQ(stat(path.c_str(), &later), 0);
    EXPECT_EQ(later.st_ino, before.st_ino);
    EXPECT_NE(read_file(path).find("one more"), std::string::npos);
}

// A file that is not a capture file, given as the capture log file, is
// someone else's: in either mode it stays as it is, no captures go into it,
// and standard error says why.
TEST(LogFile, AFileThatIsNoCaptureFileIsLeftAlone) {
    for (const char* mode : {"w", "a"}) {
        SCOPED_TRACE(mode);
        file_logger f;
        std::string path = f.dir.file("notes.pcap");
        std::string content;
        for (int i = 0; content.size() < 12000; ++i) content += "someone's notes, line " + std::to_string(i) + "\n";
        content.resize(12000);
        write_file(path, content);
        ASSERT_EQ(log_file_set_mode(&f.c->file, mode), 0);
        log2_ioctl(f.c, LOG2_IOC_FILE_SIZE, 2048, 0);
        fd_capture err;
        EXPECT_EQ(f.open(path), -1);
        for (int i = 0; i < 50; ++i) f.log("dd_a", "a record " + std::to_string(i) + "\n");
        std::string said = err.text();
        EXPECT_TRUE(read_file(path) == content);
        EXPECT_NE(said.find("is not a capture file"), std::string::npos) << said;
        EXPECT_NE(said.find(path), std::string::npos) << said;
    }
}

TEST(LogFile, RemovedOrRotatedFileIsMadeAgain) {
    file_logger f;
    std::string path = f.dir.file("r.log");
    ASSERT_EQ(f.open(path), 0);
    f.log("t", "one\n");
    ASSERT_EQ(unlink(path.c_str()), 0);
    f.log("t", "two\n");
    auto lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("two"), std::string::npos);
    // Rotated by someone else: the old file keeps its lines, the new one
    // gets the next.
    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
    write_file(path, "");
    f.log("t", "three\n");
    EXPECT_EQ(lines_of(read_file(path + ".1")).size(), 1u);
    lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("three"), std::string::npos);
}

TEST(LogFile, AppendOrStartEmpty) {
    struct row {
        const char* mode;
        int set_result;
        size_t lines;  // after "old\n" was in the file
    } rows[] = {{"a", 0, 2}, {"w", 0, 1}, {"x", -1, 1}, {"aw", -1, 1}};
    for (const row& r : rows) {
        file_logger f;
        std::string path = f.dir.file("m.log");
        write_file(path, "old\n");
        EXPECT_EQ(log_file_set_mode(&f.c->file, r.mode), r.set_result) << r.mode;  // refused: stays "w"
        ASSERT_EQ(f.open(path), 0);
        f.log("t", "new\n");
        auto lines = lines_of(read_file(path));
        ASSERT_EQ(lines.size(), r.lines) << r.mode;
        EXPECT_NE(lines.back().find("new"), std::string::npos);
        if (r.lines == 2) {
            EXPECT_EQ(lines[0], "old");
        }
    }
}

TEST(LogFile, RelativeNamesGoToTheDirectory) {
    file_logger f;
    std::string dir = f.dir.file("logs/deeper");
    EXPECT_EQ(log2_ioctl(f.c, LOG2_IOC_FILE_DIR, dir.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir));  // made with its parents
    ASSERT_EQ(f.open("x.log"), 0);
    f.log("t", "in the directory\n");
    EXPECT_EQ(std::string(log2_get_file_name(f.c)), std::filesystem::canonical(dir + "/x.log").string());
    EXPECT_EQ(lines_of(read_file(dir + "/x.log")).size(), 1u);
    // An absolute name ignores the directory.
    std::string abs = f.dir.file("abs.log");
    ASSERT_EQ(f.open(abs), 0);
    f.log("t", "absolute\n");
    EXPECT_EQ(lines_of(read_file(abs)).size(), 1u);
    EXPECT_EQ(lines_of(read_file(dir + "/x.log")).size(), 1u);
}

TEST(LogFile, SwitchAndDescriptor) {
    file_logger f;
    std::string path = f.dir.file("s.log");
    EXPECT_EQ(log2_get_file_fd(f.c), -1);
    ASSERT_EQ(f.open(path, false), 0);  // opened, but the switch is off
    EXPECT_GE(log2_get_file_fd(f.c), 0);
    f.log("t", "not written\n");
    EXPECT_EQ(read_file(path), "");
    log2_ioctl(f.c, LOG2_IOC_FILE_OUT, 1, 0);
    f.log("t", "written\n");
    log2_ioctl(f.c, LOG2_IOC_FILE_OUT, 0, 0);
    f.log("t", "not written either\n");
    auto lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("written"), std::string::npos);
    log2_info info{};
    log2_get_info(f.c, &info);
    EXPECT_STREQ(info.file_name, std::filesystem::canonical(path).c_str());
    EXPECT_EQ(info.file_size, 2097152u);
}

TEST(LogFile, FailuresStayInsideTheLogger) {
    file_logger f;
    // A directory is no file, and a missing directory makes no file.
    EXPECT_EQ(f.open(f.dir.path), -1);
    EXPECT_EQ(f.open(f.dir.file("missing/dir/x.log")), -1);
    EXPECT_STREQ(log2_get_file_name(f.c), "");
    errno = 1234;
    EXPECT_GT(log2_printf(f.c, LOG2_INFO, "t", "x", 1, "fn", "still logging\n"), 0);
    EXPECT_EQ(errno, 1234);
    EXPECT_FALSE(std::filesystem::exists(f.dir.file("missing")));
    // The tail still gets the line.
    EXPECT_NE(std::string(log2_get_last_msg(f.c)).find("still logging"), std::string::npos);
    // A file whose writes fail (a full device).
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(f.open("/dev/full"), 0);
        errno = 4321;
        EXPECT_GT(log2_printf(f.c, LOG2_INFO, "t", "x", 1, "fn", "no space\n"), 0);
        EXPECT_EQ(errno, 4321);
    }
}

TEST(LogFile, ConcurrentLinesAreWholeAndCounted) {
    file_logger f;
    std::string path = f.dir.file("mt.log");
    ASSERT_EQ(f.open(path), 0);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([&f, t] {
            for (int i = 0; i < 500; ++i) log2_printf(f.c, LOG2_INFO, "t", "x", 1, nullptr, "thread %d line %d end\n", t, i);
        });
    for (auto& t : ts) t.join();
    auto lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 4000u);
    std::vector<int> next(8, 0);
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, k_line)) << l;
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(m[12].str().c_str(), "thread %d line %d end", &t, &i), 2) << l;
        ASSERT_EQ(i, next[t]++);
    }
}

uint32_t le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

// Whole packet records from the header to the end of the file.
size_t pcap_packets(const std::string& file, bool* whole) {
    size_t at = 24, n = 0;
    while (at + 16 <= file.size()) {
        at += 16 + le32(file, at + 8);
        ++n;
    }
    *whole = file.size() >= 24 && at == file.size();
    return n;
}

TEST(LogFile, CaptureFileKind) {
    file_logger f;
    ASSERT_EQ(f.open(f.dir.file("run.pcap")), 0);
    f.log("dd_a", "to the capture\n");
    f.log("dd_a", "again\n");
    std::string file = read_file(f.dir.file("run.pcap"));
    EXPECT_EQ(file.substr(0, 4), "\xd4\xc3\xb2\xa1");
    EXPECT_EQ(le32(file, 20), 147u);
    bool whole = false;
    EXPECT_EQ(pcap_packets(file, &whole), 2u);
    EXPECT_TRUE(whole);
    EXPECT_NE(file.find("to the capture"), std::string::npos);

    // The same name in capitals is a text file.
    ASSERT_EQ(f.open(f.dir.file("RUN.PCAP")), 0);
    f.log("dd_a", "as text\n");
    auto lines = lines_of(read_file(f.dir.file("RUN.PCAP")));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], k_line)) << lines[0];
    // The capture file was closed: no more packets.
    EXPECT_EQ(read_file(f.dir.file("run.pcap")), file);
}

TEST(LogFile, CaptureFileUnderTheCapFromManyThreads) {
    file_logger f;
    log2_ioctl(f.c, LOG2_IOC_FILE_SIZE, 4096, 0);
    ASSERT_EQ(f.open(f.dir.file("mt.pcap")), 0);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([&f, t] {
            for (int i = 0; i < 300; ++i) log2_printf(f.c, LOG2_INFO, "t", "x", 1, nullptr, "thread %d record %d\n", t, i);
        });
    for (auto& t : ts) t.join();
    log2_printf(f.c, LOG2_INFO, "t", "x", 1, nullptr, "the newest\n");
    std::string file = read_file(f.dir.file("mt.pcap"));
    EXPECT_LT(file.size(), 4096u);
    bool whole = false;
    EXPECT_GT(pcap_packets(file, &whole), 0u);
    EXPECT_TRUE(whole);
    EXPECT_NE(file.find("the newest"), std::string::npos);
    if (access("/usr/bin/tcpdump", X_OK) == 0 || access("/usr/sbin/tcpdump", X_OK) == 0) {
        proc_result r = run_proc({"tcpdump", "-n", "-r", f.dir.file("mt.pcap")});
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST(LogFile, IniKeys) {
    temp_dir d;
    std::string ini = d.file("kxdd.ini");
    write_file(ini, "[log_unit]\nfile_dir=" + d.file("logs") + "\nfile_mode=a\nfile=u.log\nfile_size=4g\n"
                    "level=verb\nflags=no_colour\n");
    log2_ctx* first = log2_init(nullptr, nullptr);  // the process-wide logger is taken
    log2_ctx* c = log2_init(ini.c_str(), "unit");
    ASSERT_NE(c, first);
    log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
    log2_printf(c, LOG2_INFO, "t", "x", 1, nullptr, "from the ini\n");
    log2_info info{};
    log2_get_info(c, &info);
    EXPECT_EQ(info.file_out, 1);
    EXPECT_EQ(info.file_size, 2147483647u);  // 4g does not wrap around the i32 cap
    EXPECT_EQ(lines_of(read_file(d.file("logs/u.log"))).size(), 1u);
    log2_exit(c);
    // Mode "a": a second logger appends.
    c = log2_init(ini.c_str(), "unit");
    log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
    log2_printf(c, LOG2_INFO, "t", "x", 1, nullptr, "appended\n");
    log2_exit(c);
    EXPECT_EQ(lines_of(read_file(d.file("logs/u.log"))).size(), 2u);

    // A size below 2048 is refused with its warning, the file switch goes
    // on even when the file cannot be opened.
    write_file(ini, "[log_unit]\nfile=" + d.file("no/such/dir/u.log") + "\nfile_size=1000\n");
    fd_capture err;
    c = log2_init(ini.c_str(), "unit");
    std::string said = err.text();
    log2_get_info(c, &info);
    EXPECT_EQ(info.file_out, 1);
    EXPECT_EQ(info.file_size, 2097152u);
    EXPECT_NE(said.find("log2_ioctl log.file_size=1000 (must>=2048 error)"), std::string::npos) << said;
    log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
    EXPECT_GT(log2_printf(c, LOG2_INFO, "t", "x", 1, nullptr, "nowhere\n"), 0);
    log2_exit(c);
}

}  // namespace

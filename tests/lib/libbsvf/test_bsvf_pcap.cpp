// Capture files of log records: header, packets, appending, the size cap,
// and an ordinary capture reader.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/libbsv/bsv_oracle.h"
#include "libbsv/bsv_record.h"
#include "libbsvf/bsvf_pcap.h"
#include "libbsvf/pcap.h"
#include "support/fd_capture.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

uint32_t le32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(bsv_oracle::le(reinterpret_cast<const uint8_t*>(s.data()) + at, 4));
}

std::vector<uint8_t> record(const std::string& msg) {
    std::vector<uint8_t> rec(BSV_LOG_RECORD_MAX);
    int32_t n = bsv_log_record_write(rec.data(), 6, "dd_a", "x.cpp", 3, "fn", msg.c_str());
    rec.resize(static_cast<size_t>(n));
    return rec;
}

// The packets of a capture file: (captured length, data) after the header.
struct parsed {
    std::string header;
    std::vector<std::string> packets;
    bool whole = false;  // the records add up to the file size exactly
};

parsed parse(const std::string& file) {
    parsed p;
    if (file.size() < 24) return p;
    p.header = file.substr(0, 24);
    size_t at = 24;
    while (at + 16 <= file.size()) {
        uint32_t cap = le32(file, at + 8);
        if (le32(file, at + 12) != cap || at + 16 + cap > file.size()) return p;
        p.packets.push_back(file.substr(at + 16, cap));
        at += 16 + cap;
    }
    p.whole = at == file.size();
    return p;
}

const std::string k_log_header("\xd4\xc3\xb2\xa1\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                               "\x00\x00\x01\x00\x93\x00\x00\x00",
                               24);

TEST(BsvfPcap, HeaderAndPacketsOfLogRecords) {
    temp_dir d;
    std::string path = d.file("run.pcap");
    bsvf_pcap* w = bsvf_pcap_create(path.c_str(), 1);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(read_file(path), k_log_header);

    std::vector<uint8_t> rec100 = record(std::string(100 - 21 - 30, 'z'));
    rec100.resize(100);  // exactly 100 bytes: the packet holds 88
    struct row {
        uint32_t len;
        int result;
        uint32_t caplen;
    } rows[] = {{0, 0, 0}, {5, -1, 0}, {13, 0, 1}, {100, 0, 88}};
    log_capture cap(8);
    for (const row& r : rows) EXPECT_EQ(bsvf_pcap_write(w, rec100.data(), r.len), r.result) << r.len;
    EXPECT_TRUE(cap.contains("len > 12"));
    EXPECT_EQ(bsvf_pcap_flush(w), 0);
    bsvf_pcap_close(w);

    std::string file = read_file(path);
    parsed p = parse(file);
    ASSERT_TRUE(p.whole);
    ASSERT_EQ(p.packets.size(), 3u);
    EXPECT_EQ(p.packets[0], "");
    EXPECT_EQ(p.packets[1], std::string(reinterpret_cast<char*>(rec100.data()) + 12, 1));
    EXPECT_EQ(p.packets[2], std::string(reinterpret_cast<char*>(rec100.data()) + 12, 88));
    // Time stamp from the record's sec and usec; the data starts with its pid.
    size_t third = 24 + 16 + 16 + 1;
    EXPECT_EQ(le32(file, third), static_cast<uint32_t>(bsv_oracle::le(rec100.data(), 8)));
    EXPECT_EQ(le32(file, third + 4), static_cast<uint32_t>(bsv_oracle::le(rec100.data() + 8, 4)));
    EXPECT_EQ(le32(file, third + 16), static_cast<uint32_t>(getpid()));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(BsvfPcap, AppendWritesTheHeaderOnlyToAnEmptyFile) {
    temp_dir d;
    std::string path = d.file("a.pcap");
    auto rec = record("one");
    bsvf_pcap* w = bsvf_pcap_open_append(path.c_str(), 1);  // new file: header
    ASSERT_NE(w, nullptr);
    bsvf_pcap_write(w, rec.data(), static_cast<uint32_t>(rec.size()));
    bsvf_pcap_close(w);
    w = bsvf_pcap_open_append(path.c_str(), 1);  // existing: no second header
    ASSERT_NE(w, nullptr);
    bsvf_pcap_write(w, rec.data(), static_cast<uint32_t>(rec.size()));
    bsvf_pcap_close(w);
    std::string file = read_file(path);
    EXPECT_EQ(file.substr(0, 24), k_log_header);
    parsed p = parse(file);
    EXPECT_TRUE(p.whole);
    EXPECT_EQ(p.packets.size(), 2u);
    // Create starts afresh.
    w = bsvf_pcap_create(path.c_str(), 1);
    bsvf_pcap_close(w);
    EXPECT_EQ(read_file(path), k_log_header);
}

TEST(BsvfPcap, SwappedTypeAndBadTypes) {
    temp_dir d;
    std::string path = d.file("s.pcap");
    bsvf_pcap* w = bsvf_pcap_create(path.c_str(), 2);
    ASSERT_NE(w, nullptr);
    bsvf_pcap_close(w);
    EXPECT_EQ(read_file(path), std::string("\xa1\xb2\xc3\xd4\x00\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00"
                                           "\x00\x01\x00\x00\x00\x00\x00\x94",
                                           24));
    log_capture cap(8);
    EXPECT_EQ(bsvf_type_2_dlt(16), -1);
    EXPECT_EQ(bsvf_type_2_dlt(0), -1);
    EXPECT_EQ(bsvf_type_2_dlt(15), 161);
    EXPECT_EQ(bsvf_pcap_create(path.c_str(), 16), nullptr);
    EXPECT_TRUE(cap.contains("type=16 error"));
    EXPECT_EQ(bsvf_pcap_create(d.file("no/such/dir/x.pcap").c_str(), 1), nullptr);
    EXPECT_TRUE(cap.contains("pcap_dump_open failed."));
}

// The cap against a model: after each record, once the file has reached
// the cap, the packets before the first boundary at or beyond half the cap
// are dropped.
TEST(BsvfPcap, CapKeepsTheNewestWholePackets) {
    temp_dir d;
    std::string path = d.file("cap.pcap");
    bsvf_pcap* w = bsvf_pcap_create(path.c_str(), 1);
    ASSERT_NE(w, nullptr);
    const uint32_t cap = 4096;
    std::vector<std::pair<int, size_t>> model;  // record number, packet size with its header
    size_t model_size = 24;
    int trims = 0;
    for (int i = 0; i < 200; ++i) {
        // Varying sizes, so boundaries do not repeat.
        auto rec = record("record " + std::to_string(i) + " " + std::string(static_cast<size_t>(i % 37) * 5, '.'));
        ASSERT_EQ(bsvf_pcap_write(w, rec.data(), static_cast<uint32_t>(rec.size())), 0);
        ASSERT_EQ(bsvf_pcap_set_fsize(w, cap), 0);
        model.emplace_back(i, 16 + rec.size() - 12);
        model_size += model.back().second;
        if (model_size >= cap) {
            size_t off = 24, n = 0;
            do off += model[n++].second;
            while (off < cap / 2);
            model.erase(model.begin(), model.begin() + static_cast<ptrdiff_t>(n));
            model_size -= off - 24;
            ++trims;
        }
    }
    bsvf_pcap_close(w);
    EXPECT_GT(trims, 5);
    std::string file = read_file(path);
    EXPECT_EQ(file.size(), model_size);
    EXPECT_LT(file.size(), cap);
    parsed p = parse(file);
    ASSERT_TRUE(p.whole);
    EXPECT_EQ(p.header, k_log_header);
    ASSERT_EQ(p.packets.size(), model.size());
    for (size_t k = 0; k < model.size(); ++k) {
        std::string rec = std::string(12, '\0') + p.packets[k];  // sec and usec are not in the data
        bsv_oracle::record r = bsv_oracle::read_record(reinterpret_cast<const uint8_t*>(rec.data()), rec.size());
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.texts[5].substr(0, r.texts[5].find(' ', 7)), "record " + std::to_string(model[k].first));
    }
    EXPECT_EQ(model.back().first, 199);
}

// A capture file whose records do not add up is not trimmed away: at the
// cap it is left as it is, says so, and takes no more captures.
TEST(BsvfPcap, BrokenFileIsLeftAsItIs) {
    temp_dir d;
    std::string path = d.file("bad.pcap");
    // A header, one record header claiming more bytes than the file holds.
    std::string bad = k_log_header + std::string("\x01\x00\x00\x00\x00\x00\x00\x00\xff\xff\x00\x00\xff\xff\x00\x00", 16) +
                      std::string(3000, 'g');
    write_file(path, bad);
    bsvf_pcap* w = bsvf_pcap_open_append(path.c_str(), 1);
    ASSERT_NE(w, nullptr);
    auto rec = record("after");
    log_capture cap(8);
    bsvf_pcap_write(w, rec.data(), static_cast<uint32_t>(rec.size()));
    bsvf_pcap_flush(w);
    std::string with_one = read_file(path);
    ASSERT_EQ(with_one.size(), bad.size() + 16 + rec.size() - 12);
    fd_capture err;
    EXPECT_EQ(bsvf_pcap_set_fsize(w, 2048), -1);
    std::string said = err.text();
    EXPECT_TRUE(cap.contains("file error offset="));
    EXPECT_NE(said.find("is not a capture file"), std::string::npos) << said;
    EXPECT_TRUE(read_file(path) == with_one);
    // Nothing more goes into it.
    bsvf_pcap_write(w, rec.data(), static_cast<uint32_t>(rec.size()));
    bsvf_pcap_set_fsize(w, 2048);
    bsvf_pcap_flush(w);
    bsvf_pcap_close(w);
    EXPECT_TRUE(read_file(path) == with_one);
}

// A file that is not a capture file at all is refused when it is opened,
// for appending or for a new capture, and keeps every byte.
TEST(BsvfPcap, AFileThatIsNoCaptureFileIsNeverOpened) {
    temp_dir d;
    std::string path = d.file("notes.pcap");
    std::string content(12000, 'n');
    for (bool append : {true, false}) {
        write_file(path, content);
        fd_capture err;
        bsvf_pcap* w = append ? bsvf_pcap_open_append(path.c_str(), 1) : bsvf_pcap_create(path.c_str(), 1);
        std::string said = err.text();
        EXPECT_EQ(w, nullptr) << append;
        bsvf_pcap_close(w);
        EXPECT_TRUE(read_file(path) == content) << append;
        EXPECT_NE(said.find("is not a capture file"), std::string::npos) << said;
    }
    // A file shorter than a header is no capture file either; an empty one is made one.
    write_file(path, "short");
    fd_capture err;
    EXPECT_EQ(bsvf_pcap_open_append(path.c_str(), 1), nullptr);
    (void)err.text();
    write_file(path, "");
    bsvf_pcap* w = bsvf_pcap_open_append(path.c_str(), 1);
    ASSERT_NE(w, nullptr);
    bsvf_pcap_close(w);
    EXPECT_EQ(read_file(path), k_log_header);
}

TEST(BsvfPcap, ReadableByTcpdump) {
    if (access("/usr/bin/tcpdump", X_OK) != 0 && access("/usr/sbin/tcpdump", X_OK) != 0)
        GTEST_SKIP() << "tcpdump is not installed";
    temp_dir d;
    std::string path = d.file("t.pcap");
    bsvf_pcap* w = bsvf_pcap_create(path.c_str(), 1);
    ASSERT_NE(w, nullptr);
    for (int i = 0; i < 5; ++i) {
        auto rec = record("tcpdump line " + std::to_string(i));
        bsvf_pcap_write(w, rec.data(), static_cast<uint32_t>(rec.size()));
    }
    bsvf_pcap_close(w);
    proc_result r = run_proc({"tcpdump", "-n", "-r", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("link-type 147"), std::string::npos) << r.err;
    // Each packet is listed with a hex dump of its data, which starts with
    // the pid (little-endian).
    uint32_t pid = static_cast<uint32_t>(getpid());
    char first[32];
    snprintf(first, sizeof first, "0x0000:  %02x%02x %02x%02x", pid & 0xff, (pid >> 8) & 0xff, (pid >> 16) & 0xff,
             pid >> 24);
    size_t count = 0;
    for (size_t at = r.out.find(first); at != std::string::npos; at = r.out.find(first, at + 1)) ++count;
    EXPECT_EQ(count, 5u) << r.out;
}

}  // namespace

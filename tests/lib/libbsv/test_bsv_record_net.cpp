// Log records and network packets, checked with an independent reader.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/libbsv/bsv_oracle.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_record.h"
#include "libbsv/bsv_types.h"
#include "libbsv/bsv_value.h"
#include "libpal/env/pl_init.h"
#include "libpal/env/pl_sysinfo.h"
#include "libpal/os/os_thread.h"
#include "libpal/tframe/app.h"
#include "support/log_capture.h"

namespace {

struct scramble_off {
    scramble_off() { bsv_net_set_scramble(0); }
    ~scramble_off() { bsv_net_set_scramble(0); }
};

std::vector<uint8_t> make_record(const char* tag, const char* path, int line, const char* func, const char* msg,
                                 uint32_t level = 6) {
    std::vector<uint8_t> rec(BSV_LOG_RECORD_MAX);
    int32_t n = bsv_log_record_write(rec.data(), level, tag, path, line, func, msg);
    EXPECT_GT(n, 0);
    rec.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return rec;
}

TEST(BsvRecord, LogRecordLayout) {
    os_thread_name_set("rec_writer");
    auto rec = make_record("dd_a", "src/lib/libdd/dd_main.cpp", 42, "dd_work", "copy done", 0x407);
    os_thread_name_del();
    bsv_oracle::record r = bsv_oracle::read_record(rec.data(), rec.size());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(r.tid, os_thread_id());
    EXPECT_EQ(r.level, 7);  // the low byte of the level word
    EXPECT_LE(r.usec, 999999u);
    EXPECT_NEAR(static_cast<double>(r.sec), static_cast<double>(time(nullptr)), 5);
    ASSERT_EQ(r.texts.size(), 6u);
    EXPECT_EQ(r.texts[0], "dd_a");
    EXPECT_EQ(r.texts[1].rfind("rec_writer", 0), 0u) << r.texts[1];
    EXPECT_EQ(r.texts[2], "src/lib/libdd/dd_main.cpp");
    EXPECT_EQ(r.texts[3], "42");
    EXPECT_EQ(r.texts[4], "dd_work");
    EXPECT_EQ(r.texts[5], "copy done");
    // The strings start at byte 21.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.data() + 21)), "dd_a");

    // The library's own reader agrees, by name.
    bsv_log_rec lr{};
    ASSERT_EQ(bsv_log_record_read(rec.data(), static_cast<uint32_t>(rec.size()), &lr), 0);
    EXPECT_STREQ(lr.func, "dd_work");
    bsv_value_ctx* v = bsv_type_open_value(BSV_TYPE_LOG);
    ASSERT_NE(v, nullptr);
    uint64_t val = 0;
    EXPECT_EQ(bsv_value_find(v, rec.data(), static_cast<uint32_t>(rec.size()), "line", &val),
              static_cast<int>(VALUE_TYPE_STRING));
    EXPECT_STREQ(reinterpret_cast<const char*>(static_cast<uintptr_t>(val)), "42");
    EXPECT_EQ(bsv_value_find(v, rec.data(), static_cast<uint32_t>(rec.size()), "pid", &val),
              static_cast<int>(VALUE_TYPE_U32));
    EXPECT_EQ(val, static_cast<uint64_t>(getpid()));
    bsv_value_exit(v);
}

TEST(BsvRecord, LongTextsAreCutAndEveryFieldStays) {
    // A path and a message that overflow the 1449 bytes of the texts: the
    // record is at most 1470 bytes and still holds six terminated texts.
    std::string path(1000, 'p'), msg(3000, 'm');
    auto rec = make_record("tag", path.c_str(), 7, "fn", msg.c_str());
    EXPECT_EQ(rec.size(), BSV_LOG_RECORD_MAX);
    bsv_oracle::record r = bsv_oracle::read_record(rec.data(), rec.size());
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.texts.size(), 6u);
    EXPECT_EQ(r.texts[2], path);
    EXPECT_EQ(r.texts[3], "7");
    EXPECT_EQ(r.texts[4], "fn");
    EXPECT_EQ(r.texts[5], std::string(1449 - (4 + r.texts[1].size() + 1 + 1001 + 2 + 3) - 1, 'm'));

    // A path that alone overflows leaves room for the later texts' terminators.
    std::string huge(5000, 'q');
    rec = make_record("tag", huge.c_str(), 7, "fn", "msg");
    r = bsv_oracle::read_record(rec.data(), rec.size());
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.texts.size(), 6u);
    EXPECT_EQ(r.texts[3], "");
    EXPECT_EQ(r.texts[5], "");
}

class BsvNet : public testing::Test {
protected:
    void SetUp() override {
        pl_init();
        g_app.app_name = "kxsd";  // listed in the app table
        g_app.app_ver_num = 0x01070200;
    }
    void TearDown() override {
        g_app.app_name = nullptr;
        g_app.app_ver_num = 0;
    }
    scramble_off off_;
};

TEST_F(BsvNet, PacketAroundARecord) {
    auto rec = make_record("dd_a", "x.cpp", 1, "f", "hello");
    uint8_t pkt[BSV_NET_PACKET_MAX];
    int32_t n = bsv_net_log_packet(pkt, 0, rec.data(), static_cast<uint32_t>(rec.size()));
    ASSERT_GT(n, 0);
    std::string host = g_sysinfo.hostname;
    EXPECT_EQ(static_cast<size_t>(n), 42 + host.size() + 1 + rec.size() + 1);

    bsv_oracle::packet p = bsv_oracle::read_packet(std::vector<uint8_t>(pkt, pkt + n), BSV_NET_KEY, 16);
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.crc_ok);
    EXPECT_EQ(p.flags, 2);
    EXPECT_EQ(p.type, 5);
    EXPECT_EQ(p.type_id, 1);
    EXPECT_EQ(p.sid, g_sysinfo.machine_id);
    EXPECT_EQ(p.bid, g_sysinfo.uptime);
    EXPECT_EQ(p.stime, g_sysinfo.start_clock);
    EXPECT_EQ(p.ver_id, 0x01070200u);
    EXPECT_EQ(p.app_id, 1);
    EXPECT_EQ(p.os_id, 2);
    EXPECT_EQ(p.arch_id, g_sysinfo.arch_id);
    EXPECT_EQ(p.host, host);
    EXPECT_EQ(p.data, rec);  // the record's zero bytes included

    // The library's receiving side takes it too.
    EXPECT_EQ(bsv_parse_net_type(pkt, static_cast<uint32_t>(n)), 5);
}

TEST_F(BsvNet, ScrambledPacket) {
    auto rec = make_record("dd_a", "x.cpp", 1, "f", "secret");
    uint8_t plain[BSV_NET_PACKET_MAX], mixed[BSV_NET_PACKET_MAX];
    int32_t n = bsv_net_log_packet(plain, 0, rec.data(), static_cast<uint32_t>(rec.size()));
    bsv_net_set_scramble(1);
    int32_t m = bsv_net_log_packet(mixed, 0, rec.data(), static_cast<uint32_t>(rec.size()));
    ASSERT_EQ(n, m);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mixed), 4), std::string("bsv\x06", 4));
    // Bytes 4 on differ; unscrambled by an independent RC4 they are the plain
    // packet's (up to the CRC byte, which covers the flags).
    EXPECT_NE(memcmp(plain + 4, mixed + 4, static_cast<size_t>(n - 4)), 0);
    std::vector<uint8_t> copy(mixed, mixed + m);
    bsv_oracle::rc4(BSV_NET_KEY, 16, copy.data() + 4, copy.size() - 4);
    EXPECT_EQ(memcmp(copy.data() + 4, plain + 4, static_cast<size_t>(n - 5)), 0);
    EXPECT_EQ(copy.back(), bsv_oracle::crc8(copy.data() + 3, copy.size() - 4));
    bsv_oracle::packet p = bsv_oracle::read_packet(std::vector<uint8_t>(mixed, mixed + m), BSV_NET_KEY, 16);
    EXPECT_TRUE(p.ok && p.crc_ok);
    EXPECT_EQ(p.data, rec);
    // Scrambling twice is the identity.
    std::vector<uint8_t> twice(mixed, mixed + m);
    bsv_net_scramble(twice.data(), static_cast<uint32_t>(twice.size()));
    bsv_net_scramble(twice.data(), static_cast<uint32_t>(twice.size()));
    EXPECT_EQ(memcmp(twice.data(), mixed, static_cast<size_t>(m)), 0);
    EXPECT_EQ(bsv_parse_net_type(mixed, static_cast<uint32_t>(m)), 5);
}

TEST_F(BsvNet, ReceiverRefusesDamagedPackets) {
    auto rec = make_record("t", "x.cpp", 1, "f", "m");
    uint8_t good[BSV_NET_PACKET_MAX];
    int32_t n = bsv_net_log_packet(good, 0, rec.data(), static_cast<uint32_t>(rec.size()));
    ASSERT_GT(n, 0);
    struct row {
        const char* what;
        size_t at;
        uint8_t x;
        int32_t len;
        bool fix_crc;
        const char* line;
    } rows[] = {
        {"flipped byte", 60, 0x01, n, false, "crc check failed"},
        {"bad magic", 0, 0x20, n, false, "magic 0x"},
        {"version", 3, 0x10, n, false, "not supportd"},
        {"short", 0, 0, 15, false, "len<16"},
        {"length field", 4, 0x01, n, true, "len!=dlen"},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> b(good, good + n);
        b[r.at] ^= r.x;
        if (r.fix_crc) b.back() = bsv_oracle::crc8(b.data() + 3, b.size() - 4);
        log_capture cap(8);
        EXPECT_EQ(bsv_parse_net_type(b.data(), static_cast<uint32_t>(r.len)), -1) << r.what;
        EXPECT_TRUE(cap.contains(r.line)) << r.what << ": " << cap.all();
    }
}

TEST_F(BsvNet, TooLongRecordMakesNoPacket) {
    std::string msg(3000, 'm');
    auto rec = make_record("t", "x.cpp", 1, "f", msg.c_str());
    ASSERT_EQ(rec.size(), BSV_LOG_RECORD_MAX);
    uint8_t pkt[BSV_NET_PACKET_MAX];
    EXPECT_EQ(bsv_net_log_packet(pkt, 0, rec.data(), static_cast<uint32_t>(rec.size())), -1);
    // The largest record that fits leaves exactly 1471 bytes before the CRC.
    std::string host = g_sysinfo.hostname;
    size_t fit = BSV_NET_CRC_LIMIT - 42 - host.size() - 1;
    std::vector<uint8_t> raw(fit, 0x5a);
    EXPECT_EQ(bsv_net_log_packet(pkt, 0, raw.data(), static_cast<uint32_t>(raw.size())),
              static_cast<int32_t>(BSV_NET_PACKET_MAX));
    raw.push_back(0);
    EXPECT_EQ(bsv_net_log_packet(pkt, 0, raw.data(), static_cast<uint32_t>(raw.size())), -1);
}

TEST(BsvIds, Tables) {
    EXPECT_EQ(bsv_app_id("kxsd"), 1);
    EXPECT_EQ(bsv_app_id("kxwiro"), 10);
    EXPECT_EQ(bsv_app_id("kxdd"), 0);
    EXPECT_EQ(bsv_app_id(""), 0);
    EXPECT_EQ(bsv_app_id(nullptr), 0);
    EXPECT_STREQ(bsv_app_name("4"), "kxta-gui");
    EXPECT_STREQ(bsv_os_name("2"), "linux");
    EXPECT_STREQ(bsv_arch_name("25"), "loongarch64");
    EXPECT_STREQ(bsv_arch_name("3"), "unkown(3)");
    EXPECT_EQ(bsv_type_get_os_endian(1), 0u);
    EXPECT_EQ(bsv_type_get_os_endian(2), 1u);
    log_capture cap(8);
    EXPECT_EQ(bsv_type_get_os_endian(5), 0u);
    EXPECT_EQ(bsv_type_open_value(4), nullptr);
    EXPECT_TRUE(cap.contains("type=4 error: not found"));
}

}  // namespace

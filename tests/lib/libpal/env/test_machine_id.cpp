// Machine identity from the hardware addresses: walk order, filter, and the
// machine's own interfaces against sysfs.
#include <gtest/gtest.h>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "libpal/env/os_machine.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

// A made-up interface list: link-level entries with the given addresses,
// and an internet address entry that the walk must skip.
struct fake_iface {
    const char* name;
    std::vector<uint8_t> addr;
};

class fake_list {
public:
    explicit fake_list(const std::vector<fake_iface>& ifs) {
        nodes_.resize(ifs.size() + 1);
        lls_.resize(ifs.size());
        for (size_t i = 0; i < ifs.size(); ++i) {
            sockaddr_ll& ll = lls_[i];
            ll = {};
            ll.sll_family = AF_PACKET;
            ll.sll_ifindex = static_cast<int>(i + 1);
            ll.sll_halen = static_cast<unsigned char>(ifs[i].addr.size());
            if (!ifs[i].addr.empty())
                memcpy(ll.sll_addr, ifs[i].addr.data(), std::min<size_t>(ifs[i].addr.size(), sizeof ll.sll_addr));
            nodes_[i] = {};
            nodes_[i].ifa_name = const_cast<char*>(ifs[i].name);
            nodes_[i].ifa_addr = reinterpret_cast<sockaddr*>(&ll);
        }
        in_ = {};
        in_.sin_family = AF_INET;
        in_.sin_addr.s_addr = htonl(0x7f000001);
        ifaddrs& inet = nodes_.back();
        inet = {};
        inet.ifa_name = const_cast<char*>("lo");
        inet.ifa_addr = reinterpret_cast<sockaddr*>(&in_);
        for (size_t i = 0; i + 1 < nodes_.size(); ++i) nodes_[i].ifa_next = &nodes_[i + 1];
    }
    const ifaddrs* head() const { return nodes_.data(); }

private:
    std::vector<ifaddrs> nodes_;
    std::vector<sockaddr_ll> lls_;
    sockaddr_in in_;
};

const std::vector<uint8_t> k_lo{0, 0, 0, 0, 0, 0};

TEST(MachineId, WalkOrderAndFilter) {
    struct row {
        const char* what;
        std::vector<fake_iface> ifs;
        std::vector<uint64_t> expect;
    };
    const row rows[] = {
        {"loopback only", {{"lo", k_lo}}, {}},
        {"first three bytes zero", {{"lo", k_lo}, {"eth0", {0x00, 0x00, 0x00, 0x12, 0x34, 0x56}}}, {}},
        {"smallest kept value", {{"eth0", {0x00, 0x00, 0x01, 0x00, 0x00, 0x00}}}, {0x1000000}},
        {"one real address", {{"lo", k_lo}, {"dummy0", {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}}}, {0x021122334455}},
        {"last listed first",
         {{"lo", k_lo}, {"eth0", {0xaa, 1, 2, 3, 4, 5}}, {"eth1", {0xbb, 1, 2, 3, 4, 5}}},
         {0xbb0102030405, 0xaa0102030405}},
        {"no hardware address (tunnel)", {{"tun0", {}}, {"eth0", {0xaa, 1, 2, 3, 4, 5}}}, {0xaa0102030405}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        fake_list list(r.ifs);
        std::vector<uint64_t> got;
        os_mac_collect(list.head(), got);
        EXPECT_EQ(got, r.expect);
    }
}

TEST(MachineId, WalkIsLoggedAtVerb) {
    fake_list list({{"lo", k_lo}, {"eth0", {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}}});
    log_capture cap;
    std::vector<uint64_t> got;
    os_mac_collect(list.head(), got);
    std::vector<std::string> texts;
    for (const auto& l : cap.lines()) {
        EXPECT_EQ(l.level, 8u);
        texts.push_back(l.text);
    }
    const std::vector<std::string> expect{"interface num is intrface=2\n", "net device eth0\n", "mac=02:11:22:33:44:55\n",
                                          "net device lo\n", "mac=00:00:00:00:00:00\n"};
    EXPECT_EQ(texts, expect);
}

TEST(MachineId, MacToU64) {
    const uint8_t b[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    struct row {
        size_t len;
        uint64_t v;
    };
    const row rows[] = {{0, 0}, {5, 0}, {6, 0x010203040506}, {7, 0x01020304050607}, {8, 0x0102030405060708}, {9, 0}};
    for (const auto& r : rows) EXPECT_EQ(os_mac_to_u64(b, r.len), r.v) << r.len;
    EXPECT_EQ(os_mac_to_u64(nullptr, 6), 0u);
}

// The same choice made from sysfs: interfaces by index, last first, the
// first 6-byte address above 0xFFFFFF.
uint64_t sysfs_machine_id() {
    namespace fs = std::filesystem;
    struct iface {
        int index;
        uint64_t value;
    };
    std::vector<iface> ifs;
    for (const auto& e : fs::directory_iterator("/sys/class/net")) {
        std::ifstream fi(e.path() / "ifindex"), fl(e.path() / "addr_len"), fa(e.path() / "address");
        int index = 0, len = 0;
        std::string addr;
        if (!(fi >> index) || !(fl >> len)) continue;
        fa >> addr;
        unsigned a[6];
        uint64_t v = 0;
        if (len == 6 && sscanf(addr.c_str(), "%x:%x:%x:%x:%x:%x", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) == 6)
            for (unsigned x : a) v = (v << 8) | x;
        ifs.push_back({index, v});
    }
    std::sort(ifs.begin(), ifs.end(), [](const iface& x, const iface& y) { return x.index > y.index; });
    for (const auto& i : ifs)
        if (i.value > 0xFFFFFF) return i.value;
    return 0;
}

TEST(MachineId, ThisMachineAgreesWithSysfs) {
    std::vector<uint64_t> all;
    ASSERT_TRUE(os_mac_get_all(all));
    uint64_t id = os_machine_id();
    EXPECT_EQ(id, all.empty() ? 0 : all.front());
    EXPECT_EQ(id, sysfs_machine_id());
    char hex[32];
    snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(id));
    EXPECT_STREQ(os_machine_id_str(), hex);
}

TEST(MachineId, Md5OfTextAndIdDigest) {
    auto md5 = [](const std::string& text) {
        proc_result r = run_proc({"md5sum"}, text);
        return r.out.substr(0, 32);
    };
    std::string id = os_machine_id_str();
    std::string expect = md5("serial-42\t" + md5(id));
    EXPECT_EQ(std::string(os_machine_id_md5("serial-42")), expect);
}

}  // namespace

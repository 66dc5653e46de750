// Connected UDP sockets and name resolution.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "libpal/network/ipaddr.h"
#include "libpal/os/posix/addrinfo.h"
#include "libpal/os/posix/os_udp.h"
#include "liblog/log2.h"
#include "socket_fixture.h"
#include "support/log_capture.h"

namespace {

std::string text_of(const os_ipaddr& a) {
    char buf[OS_IPADDR_CSTR_MAXN];
    return os_ipaddr_cstr(&a, buf, sizeof buf) ? buf : "<none>";
}

TEST(Udp, DatagramsReachTheResolvedAddress) {
    std::vector<const char*> ips{"127.0.0.1"};
    if (ipv6_loopback_available()) ips.push_back("::1");
    for (const char* ip : ips) {
        os_ipaddr raddr;
        sock_ptr r = bound_socket(OS_SOCKET_UDP, ip, &raddr);
        ASSERT_TRUE(r) << ip;
        uint64_t u = os_udp_open(ip, raddr.port);
        ASSERT_NE(u, 0u) << ip;
        const char msg[] = "<14>record";
        EXPECT_EQ(os_udp_send(u, msg, sizeof msg), static_cast<int64_t>(sizeof msg));  // with its zero byte
        ASSERT_EQ(os_socket_wait(r.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
        char buf[64];
        EXPECT_EQ(os_socket_urecv(r.get(), nullptr, buf, sizeof buf), static_cast<int64_t>(sizeof msg));
        EXPECT_STREQ(buf, msg);
        os_udp_close(u);
    }
}

TEST(Udp, UnresolvableHostLogsOnce) {
    log_capture cap;
    EXPECT_EQ(os_udp_open("no-such-host.invalid", 514), 0u);
    ASSERT_EQ(cap.count(), 1u) << cap.all();
    auto line = cap.lines().front();
    EXPECT_EQ(line.level & 0xff, LOG2_DBG);
    EXPECT_EQ(line.text.rfind("failed to resolve name no-such-host.invalid port 514 error: ", 0), 0u) << line.text;
    EXPECT_EQ(os_udp_send(0, "x", 1), -1);
    EXPECT_TRUE(cap.contains("expr[sock && data]: assert failed"));
}

TEST(Addrinfo, NumericAndLocalNames) {
    const struct {
        const char* name;
        uint8_t family;
        uint16_t port;
        const char* want;
    } rows[] = {
        {"127.0.0.1", OS_IPADDR_NONE, 80, "127.0.0.1:80"},
        {"127.0.0.1", OS_IPADDR_IPV4, 0, "127.0.0.1:0"},
        {"::1", OS_IPADDR_NONE, 443, "[0000:0000:0000:0000:0000:0000:0000:0001]:443"},
        {"fe80::1%3", OS_IPADDR_IPV6, 22, "[fe80:0000:0000:0000:0000:0000:0000:0001%3]:22"},
        {"localhost", OS_IPADDR_IPV4, 8080, "127.0.0.1:8080"},
    };
    for (const auto& r : rows) {
        os_ipaddr a{};
        ASSERT_EQ(os_ipaddr_ip_cstr_set(&a, nullptr, r.family), 1);
        a.port = r.port;
        ASSERT_EQ(os_addrinfo_addr(r.name, &a), 1) << r.name;
        EXPECT_EQ(text_of(a), r.want) << r.name;
    }
    // A family that the name does not have.
    os_ipaddr a{};
    ASSERT_EQ(os_ipaddr_ip_cstr_set(&a, nullptr, OS_IPADDR_IPV6), 1);
    EXPECT_EQ(os_addrinfo_addr("127.0.0.1", &a), 0);
}

TEST(Addrinfo, FailureLeavesTheRecordAndLogsNothing) {
    log_capture cap;
    os_ipaddr a{};
    ASSERT_EQ(os_ipaddr_set(&a, "10.0.0.1", 5, OS_IPADDR_IPV4), 1);
    const os_ipaddr before = a;
    EXPECT_EQ(os_addrinfo_addr("no-such-host.invalid", &a), 0);
    EXPECT_EQ(memcmp(&a, &before, sizeof a), 0);
    EXPECT_EQ(cap.count(), 0u);
    EXPECT_EQ(os_addrinfo_addr(nullptr, &a), 0);
    EXPECT_TRUE(cap.contains("expr[name && addr]: assert failed"));
}

TEST(Addrinfo, ReverseLookupOfLoopback) {
    os_ipaddr a{};
    ASSERT_EQ(os_ipaddr_set(&a, "127.0.0.1", 0, OS_IPADDR_IPV4), 1);
    char name[256];
    const char* got = os_addrinfo_name(&a, name, sizeof name);
    if (!got) GTEST_SKIP() << "127.0.0.1 has no name here";
    EXPECT_GT(strlen(got), 0u);
    log_capture cap;
    EXPECT_EQ(os_addrinfo_name(&a, nullptr, 0), nullptr);
    EXPECT_TRUE(cap.contains("expr[addr && name && maxn]: assert failed"));
}

}  // namespace

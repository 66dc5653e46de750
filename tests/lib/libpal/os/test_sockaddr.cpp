// Conversion between socket addresses and address records.
#include "libpal/os/posix/os_sockaddr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "libpal/network/ipaddr.h"
#include "support/log_capture.h"

namespace {

os_ipaddr rec(const char* text, uint16_t port, uint8_t family = OS_IPADDR_NONE) {
    os_ipaddr a;
    memset(&a, 0, sizeof a);
    EXPECT_EQ(os_ipaddr_set(&a, text, port, family), 1) << text;
    return a;
}

std::string text_of(const os_ipaddr& a) {
    char buf[OS_UNIXADDR_CSTR_MAXN];
    return os_ipaddr_cstr(&a, buf, sizeof buf) ? buf : "<none>";
}

constexpr socklen_t k_unix_head = offsetof(sockaddr_un, sun_path);

// Record -> socket address: the system's own text of the address, the port
// and the scope id; then back to an equal record.
TEST(Sockaddr, InternetRoundTrip) {
    const struct {
        const char* text;
        uint16_t port;
        const char* ntop;
        uint32_t scope;  // what the socket address carries
    } rows[] = {
        {"10.1.2.3", 8080, "10.1.2.3", 0},
        {"0.0.0.0", 1, "0.0.0.0", 0},
        {"::1", 443, "::1", 0},
        {"2001:db8::1%5", 80, "2001:db8::1", 0},  // a global address has no scope
        {"fe80::1%3", 22, "fe80::1", 3},
        {"ff02::1%2", 5353, "ff02::1", 2},
        {"::ffff:1.2.3.4", 9, "::ffff:1.2.3.4", 0},
        {"1:2:3:4:5:6:7:8", 65535, "1:2:3:4:5:6:7:8", 0},
    };
    for (const auto& r : rows) {
        os_ipaddr a = rec(r.text, r.port);
        sockaddr_storage ss;
        memset(&ss, 0x5a, sizeof ss);
        socklen_t len = os_sockaddr_load(&ss, &a);
        char ntop[INET6_ADDRSTRLEN] = "";
        if (ss.ss_family == AF_INET) {
            const auto* s4 = reinterpret_cast<const sockaddr_in*>(&ss);
            EXPECT_EQ(len, sizeof(sockaddr_in)) << r.text;
            EXPECT_EQ(ntohs(s4->sin_port), r.port);
            inet_ntop(AF_INET, &s4->sin_addr, ntop, sizeof ntop);
        } else {
            ASSERT_EQ(ss.ss_family, AF_INET6) << r.text;
            const auto* s6 = reinterpret_cast<const sockaddr_in6*>(&ss);
            EXPECT_EQ(len, sizeof(sockaddr_in6)) << r.text;
            EXPECT_EQ(ntohs(s6->sin6_port), r.port);
            EXPECT_EQ(s6->sin6_scope_id, r.scope) << r.text;
            EXPECT_EQ(s6->sin6_flowinfo, 0u);
            inet_ntop(AF_INET6, &s6->sin6_addr, ntop, sizeof ntop);
        }
        EXPECT_STREQ(ntop, r.ntop);
        os_ipaddr back;
        memset(&back, 0x33, sizeof back);
        EXPECT_EQ(os_sockaddr_save(&back, &ss), len);
        EXPECT_EQ(os_ipaddr_is_equal(&back, &a), 1) << r.text << " came back as " << text_of(back);
    }
}

TEST(Sockaddr, ScopeKeptOnlyWhereItMatters) {
    const struct {
        const char* text;
        uint32_t kept;
    } rows[] = {
        {"fe80::5", 7}, {"febf::5", 7}, {"ff02::5", 7}, {"ff12::5", 7},
        {"ff32::5", 0},  // unicast-based multicast
        {"ff05::5", 0}, {"fec0::5", 0}, {"2001:db8::5", 0},
    };
    for (const auto& r : rows) {
        sockaddr_storage ss{};
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        s6->sin6_family = AF_INET6;
        ASSERT_EQ(inet_pton(AF_INET6, r.text, &s6->sin6_addr), 1);
        s6->sin6_scope_id = 7;
        os_ipaddr a;
        ASSERT_EQ(os_sockaddr_save(&a, &ss), sizeof(sockaddr_in6));
        EXPECT_EQ(a.ipv6.scope_id, r.kept) << r.text;
    }
}

TEST(Sockaddr, UnsetRecordsGiveTheAnyAddress) {
    os_ipaddr a{};
    a.port = 7;
    ASSERT_EQ(os_ipaddr_ip_cstr_set(&a, nullptr, OS_IPADDR_IPV6), 1);
    sockaddr_storage ss;
    ASSERT_EQ(os_sockaddr_load(&ss, &a), sizeof(sockaddr_in6));
    const auto* s6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    EXPECT_EQ(memcmp(&s6->sin6_addr, &in6addr_any, 16), 0);
    EXPECT_EQ(ntohs(s6->sin6_port), 7);
    ASSERT_EQ(os_ipaddr_family_set(&a, OS_IPADDR_IPV4), 1);
    ASSERT_EQ(os_sockaddr_load(&ss, &a), sizeof(sockaddr_in));
    const auto* s4 = reinterpret_cast<const sockaddr_in*>(&ss);
    EXPECT_EQ(s4->sin_addr.s_addr, htonl(INADDR_ANY));
}

// Unix paths and abstract names: the length passed to the system is exactly
// that of the name, so an abstract name is not padded with zero bytes.
TEST(Sockaddr, UnixPathsAndAbstractNames) {
    std::string longest(107, 'u');
    const struct {
        std::string path;
        uint8_t abstract;
        socklen_t len;
    } rows[] = {
        {"/tmp/kx.sock", 0, static_cast<socklen_t>(k_unix_head + 13)},
        {longest, 0, static_cast<socklen_t>(k_unix_head + 108)},
        {"kx-abstract", 1, static_cast<socklen_t>(k_unix_head + 1 + 11)},
        {std::string(106, 'a'), 1, static_cast<socklen_t>(k_unix_head + 107)},
    };
    for (const auto& r : rows) {
        os_ipaddr a{};
        ASSERT_EQ(os_ipaddr_unix_set_cstr(&a, r.path.c_str(), r.abstract), 1);
        sockaddr_storage ss;
        ASSERT_EQ(os_sockaddr_load(&ss, &a), r.len) << r.path;
        const auto* su = reinterpret_cast<const sockaddr_un*>(&ss);
        EXPECT_EQ(su->sun_family, AF_UNIX);
        if (r.abstract) {
            EXPECT_EQ(su->sun_path[0], 0);
            EXPECT_EQ(std::string(su->sun_path + 1, r.path.size()), r.path);
        } else {
            EXPECT_EQ(std::string(su->sun_path, r.path.size()), r.path);
        }
        os_ipaddr back;
        ASSERT_EQ(os_sockaddr_save(&back, &ss), r.len) << r.path;
        EXPECT_EQ(back.state, OS_IPADDR_SET | OS_IPADDR_UNIX);
        EXPECT_EQ(os_unixaddr_is_abstract(&back.unixaddr), r.abstract);
        EXPECT_EQ(std::string(back.unixaddr.path), r.path);
    }
}

// Socket addresses whose name fills the whole path area without a
// terminator do not fit a record: nothing is read past the area.
TEST(Sockaddr, UnterminatedUnixPaths) {
    log_capture cap;
    sockaddr_storage ss{};
    auto* su = reinterpret_cast<sockaddr_un*>(&ss);
    su->sun_family = AF_UNIX;
    memset(su->sun_path, 'p', sizeof su->sun_path);
    // The bytes after the path area are not zero either.
    memset(reinterpret_cast<char*>(&ss) + sizeof(sockaddr_un), 'z', sizeof ss - sizeof(sockaddr_un));
    os_ipaddr a = rec("1.2.3.4", 5);
    EXPECT_EQ(os_sockaddr_save(&a, &ss), 0u);
    EXPECT_EQ(a.state, 0);
    EXPECT_TRUE(cap.contains("expr[n < sizeof(addru->sun_path)]: assert failed"));
    su->sun_path[0] = 0;  // an abstract name of 107 characters
    EXPECT_EQ(os_sockaddr_save(&a, &ss), 0u);
    EXPECT_TRUE(cap.contains("expr[n < sizeof(addru->sun_path) - 1]: assert failed"));
    // An abstract record of 107 characters has no room either.
    os_ipaddr big{};
    ASSERT_EQ(os_ipaddr_unix_set_cstr(&big, std::string(107, 'b').c_str(), 1), 1);
    EXPECT_EQ(os_sockaddr_load(&ss, &big), 0u);
}

TEST(Sockaddr, UnnamedUnixSocket) {
    sockaddr_storage ss{};
    ss.ss_family = AF_UNIX;
    os_ipaddr a;
    EXPECT_EQ(os_sockaddr_save(&a, &ss), sizeof(sa_family_t));
    EXPECT_EQ(a.state, OS_IPADDR_SET | OS_IPADDR_UNIX);
    EXPECT_STREQ(a.unixaddr.path, "");
    EXPECT_EQ(a.unixaddr.abstract, 0);
}

TEST(Sockaddr, UnknownFamiliesAndMissingArguments) {
    log_capture cap;
    sockaddr_storage ss{};
    ss.ss_family = AF_APPLETALK;
    os_ipaddr a = rec("1.2.3.4", 5);
    EXPECT_EQ(os_sockaddr_save(&a, &ss), 0u);
    EXPECT_EQ(a.state, 0);
    EXPECT_TRUE(cap.contains("expr[0]: assert failed"));
    os_ipaddr none{};
    EXPECT_EQ(os_sockaddr_load(&ss, &none), 0u);
    EXPECT_EQ(os_sockaddr_save(nullptr, &ss), 0u);
    EXPECT_EQ(os_sockaddr_load(&ss, nullptr), 0u);
    EXPECT_TRUE(cap.contains("expr[ipaddr && saddr]: assert failed"));
    EXPECT_TRUE(cap.contains("expr[saddr && ipaddr]: assert failed"));
}

}  // namespace

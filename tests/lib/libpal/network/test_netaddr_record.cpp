// Address records: setting, converting, comparing and printing, and unix
// addresses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/network/ipaddr.h"
#include "support/log_capture.h"

namespace {

// A record parsed from text (family 0: IPv4, then IPv6) with a port.
os_ipaddr rec(const char* text, uint16_t port = 0, uint8_t family = OS_IPADDR_NONE) {
    os_ipaddr a;
    memset(&a, 0, sizeof a);
    EXPECT_EQ(os_ipaddr_set(&a, text, port, family), 1) << text;
    return a;
}

std::string text_of(const os_ipaddr& a, size_t maxn = OS_IPADDR_CSTR_MAXN + 40) {
    std::string buf(maxn, '\x7f');
    return os_ipaddr_cstr(&a, buf.data(), maxn) ? std::string(buf.c_str()) : "<none>";
}

std::string ip_text_of(const os_ipaddr& a) {
    char buf[OS_UNIXADDR_CSTR_MAXN];
    return os_ipaddr_ip_cstr(&a, buf, sizeof buf) ? std::string(buf) : "<none>";
}

TEST(IpaddrText, Forms) {
    os_ipaddr unset;
    os_ipaddr_clear(&unset);
    os_ipaddr unset6 = unset;
    ASSERT_EQ(os_ipaddr_ip_cstr_set(&unset6, nullptr, OS_IPADDR_IPV6), 1);
    os_ipaddr path = rec("/run/kx.sock", 99, OS_IPADDR_UNIX);
    const struct {
        os_ipaddr a;
        const char* full;
        const char* ip;
        const char* host;
    } rows[] = {
        {rec("10.0.0.1", 80), "10.0.0.1:80", "10.0.0.1", "10.0.0.1"},
        {rec("2001:db8::1", 443), "[2001:0db8:0000:0000:0000:0000:0000:0001]:443",
         "2001:0db8:0000:0000:0000:0000:0000:0001", "[2001:0db8:0000:0000:0000:0000:0000:0001]"},
        {rec("fe80::1%4", 22), "[fe80:0000:0000:0000:0000:0000:0000:0001%4]:22",
         "fe80:0000:0000:0000:0000:0000:0000:0001%4", "[fe80:0000:0000:0000:0000:0000:0000:0001%4]"},
        {rec("::ffff:1.2.3.4", 65535), "[0000:0000:0000:0000:0000:ffff:0102:0304]:65535",
         "0000:0000:0000:0000:0000:ffff:0102:0304", "[0000:0000:0000:0000:0000:ffff:0102:0304]"},
        {unset, "0.0.0.0:0", "<none>", "0.0.0.0"},
        {unset6, "0.0.0.0:0", "::", "0.0.0.0"},
        {path, "/run/kx.sock", "/run/kx.sock", "/run/kx.sock"},
    };
    log_capture cap;  // the unset record of no family has no address text ("0")
    for (const auto& r : rows) {
        EXPECT_EQ(text_of(r.a), r.full);
        EXPECT_EQ(ip_text_of(r.a), r.ip) << r.full;
        char host[OS_UNIXADDR_CSTR_MAXN];
        EXPECT_STREQ(os_ipaddr_host_cstr(&r.a, host, sizeof host), r.host);
    }
    EXPECT_EQ(path.port, 0);  // unix addresses have no port
}

TEST(IpaddrText, BufferMinimums) {
    log_capture cap;
    os_ipaddr v4 = rec("1.2.3.4", 5), v6 = rec("::1", 5), un = rec("/x", 0, OS_IPADDR_UNIX);
    EXPECT_EQ(text_of(v4, OS_IPADDR_CSTR_MAXN - 1), "<none>");
    EXPECT_TRUE(cap.contains("expr[ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN]: assert failed"));
    EXPECT_EQ(text_of(un, OS_IPADDR_CSTR_MAXN), "<none>");
    EXPECT_TRUE(cap.contains("expr[maxn >= OS_UNIXADDR_CSTR_MAXN]: assert failed"));
    char buf[OS_IPV6_CSTR_MAXN];
    EXPECT_EQ(os_ipaddr_ip_cstr(&v4, buf, OS_IPV4_CSTR_MAXN - 1), nullptr);
    EXPECT_TRUE(cap.contains("expr[maxn >= OS_IPV4_CSTR_MAXN]: assert failed"));
    EXPECT_EQ(os_ipaddr_ip_cstr(&v6, buf, OS_IPV6_CSTR_MAXN - 1), nullptr);
    EXPECT_TRUE(cap.contains("expr[maxn >= OS_IPV6_CSTR_MAXN]: assert failed"));
    EXPECT_EQ(os_ipaddr_ip_cstr(&v4, buf, OS_IPV4_CSTR_MAXN), buf);
    EXPECT_STREQ(buf, "1.2.3.4");
    // An unset unix record: the whole buffer zeroed.
    os_ipaddr unset_un{};
    ASSERT_EQ(os_ipaddr_ip_cstr_set(&unset_un, nullptr, OS_IPADDR_UNIX), 1);
    char zeroed[OS_UNIXADDR_CSTR_MAXN];
    memset(zeroed, 'x', sizeof zeroed);
    ASSERT_EQ(os_ipaddr_ip_cstr(&unset_un, zeroed, sizeof zeroed), zeroed);
    for (char c : zeroed) ASSERT_EQ(c, 0);
}

TEST(IpaddrEqual, Table) {
    os_ipaddr none{}, none6{};
    os_ipaddr_ip_cstr_set(&none6, nullptr, OS_IPADDR_IPV6);
    const struct {
        os_ipaddr a, b;
        int ip_equal;
    } rows[] = {
        {rec("10.0.0.1"), rec("::ffff:10.0.0.1"), 1},
        {rec("::ffff:10.0.0.1"), rec("10.0.0.1"), 1},
        {rec("10.0.0.1"), rec("::ffff:10.0.0.2"), 0},
        {rec("10.0.0.1"), rec("::10.0.0.1"), 0},
        {rec("10.0.0.1"), rec("10.0.0.1"), 1},
        {rec("fe80::1%1"), rec("fe80::1%2"), 0},
        {rec("2001:db8::1%1"), rec("2001:db8::1%2"), 1},
        {none, none6, 1},
        {none, rec("0.0.0.0"), 0},
        {rec("/a", 0, OS_IPADDR_UNIX), rec("/a", 0, OS_IPADDR_UNIX), 1},
        {rec("/a", 0, OS_IPADDR_UNIX), rec("/b", 0, OS_IPADDR_UNIX), 0},
        {rec("/a", 0, OS_IPADDR_UNIX), rec("10.0.0.1"), 0},
        {rec("10.0.0.1"), rec("/a", 0, OS_IPADDR_UNIX), 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(os_ipaddr_ip_is_equal(&r.a, &r.b), r.ip_equal) << text_of(r.a) << " vs " << text_of(r.b);
        EXPECT_EQ(os_ipaddr_is_equal(&r.a, &r.b), r.ip_equal);  // same ports here
    }
    os_ipaddr a = rec("10.0.0.1", 1), b = rec("::ffff:10.0.0.1", 2);
    EXPECT_EQ(os_ipaddr_ip_is_equal(&a, &b), 1);
    EXPECT_EQ(os_ipaddr_is_equal(&a, &b), 0);
}

TEST(IpaddrFamily, Conversions) {
    os_ipaddr a = rec("10.1.2.3", 8080);
    ASSERT_EQ(os_ipaddr_family_set(&a, OS_IPADDR_IPV6), 1);
    EXPECT_EQ(a.state, OS_IPADDR_SET | OS_IPADDR_IPV6);
    EXPECT_EQ(os_ipaddr_port(&a), 8080);
    EXPECT_EQ(ip_text_of(a), "0000:0000:0000:0000:0000:ffff:0a01:0203");
    // Back: a mapped address keeps its IPv4 part.
    ASSERT_EQ(os_ipaddr_family_set(&a, OS_IPADDR_IPV4), 1);
    EXPECT_EQ(text_of(a), "10.1.2.3:8080");
    // Any other IPv6 address has no IPv4 form: the address is dropped.
    os_ipaddr g = rec("2001:db8::5", 7);
    ASSERT_EQ(os_ipaddr_family_set(&g, OS_IPADDR_IPV4), 1);
    EXPECT_EQ(g.state, OS_IPADDR_IPV4);
    EXPECT_EQ(os_ipaddr_port(&g), 7);

    log_capture cap;
    os_ipaddr before = rec("10.1.2.3", 8080);
    os_ipaddr b = before;
    EXPECT_EQ(os_ipaddr_family_set(&b, OS_IPADDR_UNIX), 0);
    EXPECT_EQ(memcmp(&b, &before, sizeof b), 0);
    EXPECT_TRUE(cap.contains("expr[0]: assert failed"));
    os_ipaddr none{};
    EXPECT_EQ(os_ipaddr_family_set(&none, OS_IPADDR_UNIX), 0);
    os_ipaddr un = rec("/p", 0, OS_IPADDR_UNIX);
    EXPECT_EQ(os_ipaddr_family_set(&un, OS_IPADDR_IPV4), 0);
    EXPECT_EQ(os_ipaddr_family_set(&b, 9), 0);
    // Family 0 empties the state; the port stays.
    ASSERT_EQ(os_ipaddr_family_set(&b, OS_IPADDR_NONE), 1);
    EXPECT_EQ(b.state, 0);
    EXPECT_EQ(b.port, 8080);
}

TEST(IpaddrFamily, InPlaceViewsAndMapping) {
    os_ipaddr a = rec("::ffff:192.0.2.7", 53);
    os_ipv4* v4 = os_ipaddr_ipv4(&a);
    ASSERT_NE(v4, nullptr);
    EXPECT_EQ(a.state, OS_IPADDR_SET | OS_IPADDR_IPV4);
    EXPECT_EQ(text_of(a), "192.0.2.7:53");
    os_ipv6* v6 = os_ipaddr_ipv6(&a);
    ASSERT_NE(v6, nullptr);
    EXPECT_EQ(a.state, OS_IPADDR_SET | OS_IPADDR_IPV6);
    EXPECT_EQ(v6->scope_id, 0u);
    EXPECT_EQ(os_ipaddr_unix(&a), nullptr);
    os_ipaddr g = rec("2001:db8::1");
    EXPECT_EQ(os_ipaddr_ipv4(&g), nullptr);
    EXPECT_EQ(g.state, OS_IPADDR_SET | OS_IPADDR_IPV6);
    os_ipaddr un = rec("/s", 0, OS_IPADDR_UNIX);
    EXPECT_EQ(os_ipaddr_ipv4(&un), nullptr);
    EXPECT_EQ(os_ipaddr_ipv6(&un), nullptr);
    ASSERT_NE(os_ipaddr_unix(&un), nullptr);
    EXPECT_STREQ(os_ipaddr_unix(&un)->path, "/s");
    os_ipaddr_ip_clear(&un);
    EXPECT_EQ(os_ipaddr_unix(&un), nullptr);

    os_ipv4 four{};
    ASSERT_EQ(os_ipv4_cstr_set(&four, "1.2.3.4"), 1);
    os_ipv6 six;
    memset(&six, 0xee, sizeof six);
    os_ipaddr_ipv4_to_ipv6(&four, &six);
    EXPECT_EQ(six.scope_id, 0u);
    os_ipv4 back{};
    EXPECT_EQ(os_ipaddr_ipv6_to_ipv4(&six, &back), 1);
    EXPECT_EQ(back.addr, four.addr);
    six.addr[10] = 0xfe;
    EXPECT_EQ(os_ipaddr_ipv6_to_ipv4(&six, &back), 0);
}

TEST(IpaddrSet, TextByFamily) {
    os_ipaddr a = rec("1.1.1.1", 77);
    // Family 0 takes IPv4 and then IPv6; the port stays.
    ASSERT_EQ(os_ipaddr_ip_cstr_set(&a, "::1", OS_IPADDR_NONE), 1);
    EXPECT_EQ(a.state, OS_IPADDR_SET | OS_IPADDR_IPV6);
    EXPECT_EQ(a.port, 77);
    const os_ipaddr before = a;
    const struct {
        const char* text;
        uint8_t family;
    } refused[] = {
        {"::1", OS_IPADDR_IPV4}, {"1.2.3.4", OS_IPADDR_IPV6}, {"1.2.3", OS_IPADDR_NONE}, {"", OS_IPADDR_NONE},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(os_ipaddr_ip_cstr_set(&a, r.text, r.family), 0) << r.text;
        EXPECT_EQ(os_ipaddr_ip_cstr_set(nullptr, r.text, r.family), 0) << r.text;
        EXPECT_EQ(memcmp(&a, &before, sizeof a), 0) << r.text;
    }
    EXPECT_EQ(os_ipaddr_ip_cstr_set(nullptr, "1.2.3.4", OS_IPADDR_IPV4), 1);
    // No text: an unset record of the family.
    ASSERT_EQ(os_ipaddr_ip_cstr_set(&a, nullptr, OS_IPADDR_IPV4), 1);
    EXPECT_EQ(a.state, OS_IPADDR_IPV4);
    EXPECT_EQ(os_ipaddr_is_empty(&a), 1);
    // Unix paths: fewer than 108 characters.
    std::string p107(107, 'p'), p108(108, 'p');
    os_ipaddr u{};
    EXPECT_EQ(os_ipaddr_ip_cstr_set(&u, p107.c_str(), OS_IPADDR_UNIX), 1);
    EXPECT_EQ(ip_text_of(u), p107);
    EXPECT_EQ(os_unixaddr_is_abstract(&u.unixaddr), 0);
    const os_ipaddr ubefore = u;
    EXPECT_EQ(os_ipaddr_ip_cstr_set(&u, p108.c_str(), OS_IPADDR_UNIX), 0);
    EXPECT_EQ(memcmp(&u, &ubefore, sizeof u), 0);
    EXPECT_EQ(os_ipaddr_unix_set_cstr(&u, p108.c_str(), 0), 0);
    EXPECT_EQ(memcmp(&u, &ubefore, sizeof u), 0);
    ASSERT_EQ(os_ipaddr_unix_set_cstr(&u, "kx-abstract", 1), 1);
    EXPECT_EQ(os_unixaddr_is_abstract(&u.unixaddr), 1);

    log_capture cap;
    EXPECT_EQ(os_ipaddr_ip_cstr_set(&a, "1.2.3.4", 4), 0);
    EXPECT_TRUE(cap.contains("expr[0]: assert failed"));
}

TEST(IpaddrCopy, SetAndUnsetSources) {
    os_ipaddr dst = rec("10.0.0.1", 1);
    os_ipaddr src = rec("fe80::9%3", 2);
    os_ipaddr_copy(&dst, &src);
    EXPECT_EQ(os_ipaddr_is_equal(&dst, &src), 1);
    EXPECT_EQ(dst.ipv6.scope_id, 3u);
    // An unset source of the same family: its port, the destination's address.
    os_ipaddr any6{};
    os_ipaddr_ip_cstr_set(&any6, nullptr, OS_IPADDR_IPV6);
    any6.port = 9;
    os_ipaddr_copy(&dst, &any6);
    EXPECT_EQ(text_of(dst), "[fe80:0000:0000:0000:0000:0000:0000:0009%3]:9");
    // An unset source of another family: the old address means nothing there.
    os_ipaddr any4{};
    os_ipaddr_ip_cstr_set(&any4, nullptr, OS_IPADDR_IPV4);
    any4.port = 4;
    os_ipaddr_copy(&dst, &any4);
    EXPECT_EQ(dst.state, OS_IPADDR_IPV4);
    EXPECT_EQ(text_of(dst), "0.0.0.0:0");
    EXPECT_EQ(dst.port, 4);
}

TEST(IpaddrSet, AddressParts) {
    os_ipaddr a{};
    a.port = 5;
    os_ipv6 six{};
    ASSERT_EQ(os_ipv6_cstr_set(&six, "fe80::1%2"), 1);
    os_ipaddr_ipv6_set(&a, &six);
    EXPECT_EQ(a.state, OS_IPADDR_SET | OS_IPADDR_IPV6);
    EXPECT_EQ(a.port, 5);
    os_ipaddr_ipv4_set(&a, nullptr);
    EXPECT_EQ(a.state, OS_IPADDR_IPV6);
    os_ipv4 four{};
    ASSERT_EQ(os_ipv4_cstr_set(&four, "9.9.9.9"), 1);
    os_ipaddr_ipv4_set(&a, &four);
    EXPECT_EQ(text_of(a), "9.9.9.9:5");
    os_ipaddr other = rec("/sock", 0, OS_IPADDR_UNIX);
    ASSERT_EQ(os_ipaddr_ip_set(&a, &other), 1);
    EXPECT_EQ(a.state, OS_IPADDR_SET | OS_IPADDR_UNIX);
    EXPECT_EQ(a.port, 5);
    ASSERT_EQ(os_ipaddr_ip_set(&a, nullptr), 1);
    EXPECT_EQ(a.state, OS_IPADDR_UNIX);
    log_capture cap;
    os_ipaddr none{};
    EXPECT_EQ(os_ipaddr_ip_set(&a, &none), 0);
    EXPECT_TRUE(cap.contains("expr[0]: assert failed"));
}

TEST(UnixAddr, PathsAndAbstractNames) {
    os_unixaddr a{}, b{};
    std::string p107(107, 'q'), p200(200, 'q');
    EXPECT_EQ(os_unixaddr_cstr_set(&a, p107.c_str(), 0), 1);
    EXPECT_EQ(std::string(a.path), p107);
    // Too long: stored cut, still terminated.
    EXPECT_EQ(os_unixaddr_cstr_set(&b, p200.c_str(), 0), 0);
    EXPECT_EQ(std::string(b.path), p107);
    EXPECT_EQ(os_unixaddr_is_equal(&a, &b), 1);
    // A file and an abstract name of the same text are different sockets.
    ASSERT_EQ(os_unixaddr_cstr_set(&a, "kx", 0), 1);
    ASSERT_EQ(os_unixaddr_cstr_set(&b, "kx", 1), 1);
    EXPECT_EQ(os_unixaddr_is_equal(&a, &b), 0);
    os_unixaddr_clear(&b);
    EXPECT_STREQ(b.path, "");
    EXPECT_EQ(os_unixaddr_is_abstract(&b), 1);  // the flag stays

    log_capture cap;
    char small[OS_UNIXADDR_CSTR_MAXN - 1];
    EXPECT_EQ(os_unixaddr_cstr(&a, small, sizeof small), nullptr);
    EXPECT_EQ(os_unixaddr_is_equal(&a, nullptr), 0);
    EXPECT_TRUE(cap.contains("expr[unixaddr && other]: assert failed"));
}

TEST(IpaddrChecks, MissingRecords) {
    log_capture cap;
    os_ipaddr a = rec("1.2.3.4");
    EXPECT_EQ(os_ipaddr_is_empty(nullptr), 1);
    EXPECT_EQ(os_ipaddr_ip_is_empty(nullptr), 1);
    EXPECT_EQ(os_ipaddr_is_equal(&a, nullptr), 0);
    os_ipaddr_copy(nullptr, &a);
    os_ipaddr_ipv6_set(&a, nullptr);
    os_ipaddr_unix_set(&a, nullptr);
    os_ipaddr_ipv4_to_ipv6(nullptr, nullptr);
    EXPECT_EQ(text_of(a), "1.2.3.4:0");  // untouched by the failed calls
    for (const char* m : {"expr[ipaddr]: assert failed", "expr[ipaddr && other]: assert failed",
                          "expr[ipaddr && copied]: assert failed", "expr[ipaddr && ipv6]: assert failed",
                          "expr[ipaddr && unixaddr]: assert failed", "expr[ipv6 && ipv4]: assert failed"})
        EXPECT_TRUE(cap.contains(m)) << m;
}

}  // namespace

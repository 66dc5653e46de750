#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "libnet/net_priv.h"
#include "libnet/proxy_conf.h"
#include "libnet/sock_proxy_priv.h"
#include "libpal/basic/verr.h"
#include "libpal/network/ipaddr.h"
#include "libpal/os/posix/addrinfo.h"
#include "liblog/log2.h"

namespace {

// Longest name a SOCKS request carries (SOCKS5 has a one-byte length;
// SOCKS4a servers keep to the same).
constexpr size_t k_max_name = 255;

bool has_two_colons(const char* host) { return std::count(host, host + strlen(host), ':') >= 2; }

void put_port(std::vector<uint8_t>& req, uint16_t port) {
    req.push_back(static_cast<uint8_t>(port >> 8));
    req.push_back(static_cast<uint8_t>(port & 0xff));
}

void put_text(std::vector<uint8_t>& req, std::string_view text) { req.insert(req.end(), text.begin(), text.end()); }

bool send_req(proxy_tunnel& t, const std::vector<uint8_t>& req) {
    return proxy_tunnel_write(t, req.data(), static_cast<uint32_t>(req.size()));
}

// The message of a SOCKS5 reply code.
const char* socks5_reply_text(uint8_t code) {
    static constexpr const char* k_texts[] = {
        nullptr,
        "General SOCKS server failure!",
        "Connection not allowed by ruleset!",
        "Network unreachable!",
        "Host unreachable!",
        "Connection refused!",
        "TTL (packet time to live) expired!",
        "SOCKS Command not supported!",
        "Address type not supported!",
    };
    return code >= 1 && code < std::size(k_texts) ? k_texts[code] : nullptr;
}

// Reads and drops the bound address and port of a SOCKS5 success reply of
// the address type. False when they do not all arrive or the type is unknown
// (its length cannot be told, and its bytes would stay in the stream).
bool socks5_drain_bound(proxy_tunnel& t, uint8_t atyp) {
    uint8_t buf[258];
    switch (atyp) {
    case 1: return proxy_tunnel_read(t, buf, 6);
    case 4: return proxy_tunnel_read(t, buf, 18);
    case 3: {
        uint8_t len;
        if (!proxy_tunnel_read(t, &len, 1)) return false;
        return proxy_tunnel_read(t, buf, len + 2u);
    }
    default:
        LOG2(LOG2_DBG, "net", "atyp=%d unsupported\n", atyp);
        return false;
    }
}

// The SOCKS5 address of the target: a dotted IPv4 text, an IPv6 literal, or
// a name of at most 255 bytes. False for a longer name.
bool socks5_put_addr(std::vector<uint8_t>& req, const char* host) {
    os_ipv4 v4{};
    os_ipv6 v6{};
    if (os_ipv4_cstr_set(&v4, host)) {
        req.push_back(1);
        const auto* b = reinterpret_cast<const uint8_t*>(&v4.addr);
        req.insert(req.end(), b, b + 4);
    } else if (has_two_colons(host) && os_ipv6_cstr_set(&v6, host)) {
        req.push_back(4);
        req.insert(req.end(), v6.addr, v6.addr + 16);
    } else {
        const size_t len = strlen(host);
        if (len > k_max_name) return false;
        req.push_back(3);
        req.push_back(static_cast<uint8_t>(len));
        put_text(req, host);
    }
    return true;
}

}  // namespace

int proxy_socks4_connect(proxy_tunnel& t, const char* host, uint16_t port, const conf_proxy& proxy, verr_info* err) {
    if (has_two_colons(host)) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "SOCK4 does not support IPv6");
        return -1;
    }
    // Resolved locally, IPv4 first: a name with both kinds of address is
    // still reachable.
    os_ipaddr addr{};
    os_ipaddr_set(&addr, nullptr, 0, OS_IPADDR_IPV4);
    if (!os_addrinfo_addr(host, &addr)) {
        os_ipaddr any{};
        if (os_addrinfo_addr(host, &any)) {
            NET_ERR(err, VERR_GENERAL_FAILURE, "SOCK4 does not support IPv6");
            return -1;
        }
        NET_ERR(err, VERR_INVALID_PARAMETER, "addrinfo_addr %s error", host);
        return -1;
    }
    const os_ipv4* v4 = os_ipaddr_ipv4(&addr);
    if (!v4) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "SOCK4 does not support IPv6");
        return -1;
    }
    uint32_t ip = v4->addr;
    LOG2(LOG2_VERB, "net", "hostaddr=%x\n", ntohl(ip));
    const bool socks4a = ip == 0xffffffffu;
    if (socks4a) {
        if (strlen(host) > k_max_name) {
            NET_ERR(err, VERR_GENERAL_FAILURE, "proxy host name too long");
            return -1;
        }
        LOG2(LOG2_DBG, "net", "use socks4a\n");
        ip = htonl(1);
    }
    std::vector<uint8_t> req = {4, 1};
    put_port(req, port);
    const auto* b = reinterpret_cast<const uint8_t*>(&ip);
    req.insert(req.end(), b, b + 4);
    put_text(req, proxy.user);
    req.push_back(0);
    if (socks4a) {
        put_text(req, host);
        req.push_back(0);
    }
    if (!send_req(t, req)) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }
    uint8_t reply[8] = {};
    int32_t got = 0;
    if (!proxy_tunnel_read(t, reply, sizeof reply, &got) || reply[0] != 0 || reply[1] != 90) {
        LOG2(LOG2_DBG, "net", "ret=%d error\n", got == 8 ? reply[1] : got);
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy read return error");
        return -1;
    }
    return 0;
}

int proxy_socks5_connect(proxy_tunnel& t, const char* host, uint16_t port, const conf_proxy& proxy, verr_info* err) {
    // The request is made first: a target it cannot carry fails before
    // anything is sent.
    std::vector<uint8_t> req = {5, 1, 0};
    if (!socks5_put_addr(req, host)) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy host name too long");
        return -1;
    }
    put_port(req, port);
    const bool with_user = *proxy.user != '\0';
    std::vector<uint8_t> greet = with_user ? std::vector<uint8_t>{5, 2, 0, 2} : std::vector<uint8_t>{5, 1, 0};
    if (!send_req(t, greet)) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }
    uint8_t reply[4] = {};
    int32_t got = 0;
    proxy_tunnel_read(t, reply, 2, &got);
    // Only the methods offered may be chosen: anything else would go on
    // without the authentication the proxy asked for.
    const uint8_t method = reply[1];
    const bool offered = method == 0 || (with_user && method == 2);
    if (got != 2 || reply[0] != 5 || !offered) {
        LOG2(LOG2_DBG, "net", "nrbytes=%d buf[0]=0x%x buf[1]=0x%x error\n", got, reply[0], reply[1]);
        NET_ERR(err, VERR_INVALID_PARAMETER, "Proxy read return error");
        return -1;
    }
    if (method == 2) {
        const size_t ulen = strlen(proxy.user), plen = strlen(proxy.pwd);
        // The lengths travel as one byte each.
        if (ulen > k_max_name || plen > k_max_name) {
            LOG2(LOG2_DBG, "net", "user or password longer than %zu bytes\n", k_max_name);
            NET_ERR(err, VERR_INVALID_PARAMETER, "Proxy password or user name error");
            return -1;
        }
        std::vector<uint8_t> auth = {1, static_cast<uint8_t>(ulen)};
        put_text(auth, proxy.user);
        auth.push_back(static_cast<uint8_t>(plen));
        put_text(auth, proxy.pwd);
        if (!send_req(t, auth)) {
            NET_ERR(err, VERR_GENERAL_FAILURE, "proxy send error");
            return -1;
        }
        if (!proxy_tunnel_read(t, reply, 2) || reply[1] != 0) {
            NET_ERR(err, VERR_INVALID_PARAMETER, "Proxy password or user name error");
            return -1;
        }
    }

    if (!send_req(t, req)) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }
    memset(reply, 0, sizeof reply);
    proxy_tunnel_read(t, reply, 4, &got);
    if (got == 4 && reply[0] == 5 && reply[1] == 0) {
        if (socks5_drain_bound(t, reply[3])) return 0;
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy read return error");
        return -1;
    }
    if (got < 2) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy read return error");
        return -1;
    }
    if (const char* text = socks5_reply_text(reply[1]))
        NET_ERR(err, VERR_GENERAL_FAILURE, "%s", text);
    else
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy unkown error: %d", reply[1]);
    return -1;
}

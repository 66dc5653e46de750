#include "libpal/os/posix/os_sockaddr.h"

#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/network/ipaddr.h"

namespace {

static_assert(sizeof(sockaddr_un) <= sizeof(sockaddr_storage));

// fe80::/10, and multicast of link-local scope except the unicast-based
// (flags 3) form.
bool scoped_on_save(const uint8_t* a) {
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) return true;
    return a[0] == 0xff && (a[1] & 0x0f) == 2 && (a[1] >> 4) != 3;
}

constexpr socklen_t k_unix_head = offsetof(sockaddr_un, sun_path);

socklen_t save_unix(os_ipaddr* ipaddr, const sockaddr_un* addru) {
    os_unixaddr un{};
    const char* path = addru->sun_path;
    if (path[0] == 0 && path[1] != 0) {
        // Abstract name: from the next byte, up to the first zero byte.
        size_t n = strnlen(path + 1, sizeof(addru->sun_path) - 1);
        if (!PL_CHECK("pal", n < sizeof(addru->sun_path) - 1)) return 0;
        os_unixaddr_cstr_set(&un, path + 1, 1);
        os_ipaddr_unix_set(ipaddr, &un);
        return static_cast<socklen_t>(k_unix_head + 1 + n);
    }
    size_t n = strnlen(path, sizeof(addru->sun_path));
    if (!PL_CHECK("pal", n < sizeof(addru->sun_path))) return 0;
    os_unixaddr_cstr_set(&un, path, 0);
    os_ipaddr_unix_set(ipaddr, &un);
    return static_cast<socklen_t>(n ? k_unix_head + n + 1 : sizeof(sa_family_t));
}

socklen_t load_unix(sockaddr_un* addru, const os_ipaddr* ipaddr) {
    addru->sun_family = AF_UNIX;
    if (!(ipaddr->state & OS_IPADDR_SET)) return sizeof(sa_family_t);
    const os_unixaddr& un = ipaddr->unixaddr;
    size_t n = strnlen(un.path, sizeof un.path);
    if (un.abstract) {
        if (!PL_CHECK("pal", n < sizeof(addru->sun_path) - 1)) return 0;
        memcpy(addru->sun_path + 1, un.path, n);
        return static_cast<socklen_t>(k_unix_head + 1 + n);
    }
    if (!PL_CHECK("pal", n < sizeof(addru->sun_path))) return 0;
    memcpy(addru->sun_path, un.path, n);
    return static_cast<socklen_t>(k_unix_head + n + 1);
}

}  // namespace

socklen_t os_sockaddr_save(os_ipaddr* ipaddr, const sockaddr_storage* saddr) {
    if (!PL_CHECK("pal", ipaddr && saddr)) return 0;
    os_ipaddr_clear(ipaddr);
    switch (saddr->ss_family) {
    case AF_INET: {
        const auto* a4 = reinterpret_cast<const sockaddr_in*>(saddr);
        os_ipv4 v4{};
        v4.addr = a4->sin_addr.s_addr;
        os_ipaddr_ipv4_set(ipaddr, &v4);
        os_ipaddr_port_set(ipaddr, ntohs(a4->sin_port));
        return sizeof(sockaddr_in);
    }
    case AF_INET6: {
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(saddr);
        os_ipv6 v6{};
        memcpy(v6.addr, &a6->sin6_addr, 16);
        v6.scope_id = scoped_on_save(v6.addr) ? a6->sin6_scope_id : 0;
        os_ipaddr_ipv6_set(ipaddr, &v6);
        os_ipaddr_port_set(ipaddr, ntohs(a6->sin6_port));
        return sizeof(sockaddr_in6);
    }
    case AF_UNIX: {
        socklen_t n = save_unix(ipaddr, reinterpret_cast<const sockaddr_un*>(saddr));
        if (!n) os_ipaddr_clear(ipaddr);
        return n;
    }
    default:
        PL_CHECK_TEXT("pal", false, "0");
        return 0;
    }
}

socklen_t os_sockaddr_load(sockaddr_storage* saddr, const os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", saddr && ipaddr)) return 0;
    memset(saddr, 0, sizeof *saddr);
    bool set = ipaddr->state & OS_IPADDR_SET;
    switch (ipaddr->state & OS_IPADDR_FAMILY_MASK) {
    case OS_IPADDR_IPV4: {
        auto* a4 = reinterpret_cast<sockaddr_in*>(saddr);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(ipaddr->port);
        a4->sin_addr.s_addr = set ? ipaddr->ipv4.addr : htonl(INADDR_ANY);
        return sizeof(sockaddr_in);
    }
    case OS_IPADDR_IPV6: {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(saddr);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(ipaddr->port);
        if (set) {
            memcpy(&a6->sin6_addr, ipaddr->ipv6.addr, 16);
            const os_ipv6* v6 = &ipaddr->ipv6;
            if (os_ipv6_is_linklocal(v6) || os_ipv6_is_mc_linklocal(v6)) a6->sin6_scope_id = v6->scope_id;
        } else {
            a6->sin6_addr = in6addr_any;
        }
        return sizeof(sockaddr_in6);
    }
    case OS_IPADDR_UNIX: {
        socklen_t n = load_unix(reinterpret_cast<sockaddr_un*>(saddr), ipaddr);
        if (!n) memset(saddr, 0, sizeof *saddr);
        return n;
    }
    default:
        PL_CHECK_TEXT("pal", false, "0");
        return 0;
    }
}

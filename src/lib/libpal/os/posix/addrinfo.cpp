#include "libpal/os/posix/addrinfo.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "libpal/basic/pl_assert.h"
#include "libpal/network/ipaddr.h"
#include "libpal/os/posix/os_sockaddr.h"
#include "libpal/string/str_safe.h"

namespace {

struct addrinfo_free {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};
using addrinfo_ptr = std::unique_ptr<addrinfo, addrinfo_free>;

}  // namespace

int os_addrinfo_addr(const char* name, os_ipaddr* addr) {
    if (!PL_CHECK("pal", name && addr)) return 0;
    addrinfo hints{};
    switch (os_ipaddr_family(addr)) {
    case OS_IPADDR_IPV4: hints.ai_family = AF_INET; break;
    case OS_IPADDR_IPV6: hints.ai_family = AF_INET6; break;
    default: hints.ai_family = AF_UNSPEC; break;
    }
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    uint16_t port = os_ipaddr_port(addr);
    if (port) str_sprintf_s(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo* raw = nullptr;
    if (getaddrinfo(name, port ? service : nullptr, &hints, &raw) != 0) return 0;
    addrinfo_ptr answer(raw);
    if (!PL_CHECK("pal", answer && answer->ai_addr)) return 0;
    sockaddr_storage ss{};
    if (answer->ai_addrlen > sizeof ss) return 0;
    memcpy(&ss, answer->ai_addr, answer->ai_addrlen);
    os_ipaddr found{};
    if (!os_sockaddr_save(&found, &ss)) return 0;
    *addr = found;
    return 1;
}

char* os_addrinfo_name(const os_ipaddr* addr, char* name, size_t maxn) {
    if (!PL_CHECK("pal", addr && name && maxn)) return nullptr;
    sockaddr_storage ss;
    socklen_t len = os_sockaddr_load(&ss, addr);
    if (!len) return nullptr;
    socklen_t size = maxn > NI_MAXHOST ? NI_MAXHOST : static_cast<socklen_t>(maxn);
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&ss), len, name, size, nullptr, 0, NI_NAMEREQD) != 0)
        return nullptr;
    return name;
}

#include "libpal/env/os_machine.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include "libpal/hash/md5.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

uint64_t os_mac_to_u64(const uint8_t* bytes, size_t length) {
    if (!bytes || length < 6 || length > 8) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) v = (v << 8) | bytes[i];
    return v;
}

void os_mac_collect(const ifaddrs* list, std::vector<uint64_t>& out) {
    // One link-level entry per interface, in the order the system lists them.
    std::vector<const ifaddrs*> links;
    for (const ifaddrs* i = list; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_PACKET) links.push_back(i);
    if (links.empty()) return;
    LOG2(LOG2_VERB, "pal", "interface num is intrface=%d\n", static_cast<int>(links.size()));
    for (auto it = links.rbegin(); it != links.rend(); ++it) {
        const ifaddrs* i = *it;
        const char* name = i->ifa_name ? i->ifa_name : "";
        LOG2(LOG2_VERB, "pal", "net device %s\n", name);
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
        if (ll->sll_halen < 6) continue;
        const uint8_t* a = ll->sll_addr;
        char text[32];
        str_sprintf_s(text, sizeof text, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", a[0], a[1], a[2], a[3], a[4], a[5]);
        LOG2(LOG2_VERB, "pal", "mac=%s\n", text);
        uint64_t v = os_mac_to_u64(a, 6);
        if (v > 0xFFFFFF) out.push_back(v);
    }
}

bool os_mac_get_all(std::vector<uint64_t>& out) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        LOG2(LOG2_VERB | LOG2_ERRNO, "pal", "getifaddrs error: ");
        return false;
    }
    os_mac_collect(list, out);
    freeifaddrs(list);
    return true;
}

uint64_t os_machine_id() {
    std::vector<uint64_t> macs;
    if (!os_mac_get_all(macs) || macs.empty()) return 0;
    return macs.front();
}

const char* os_machine_id_str() {
    static char text[256];
    str_sprintf_s(text, sizeof text, "%llx", static_cast<unsigned long long>(os_machine_id()));
    return text;
}

const char* os_machine_id_md5(const char* text) {
    static char out[256];
    char id_md5[33];
    pl_md5_str_hex(os_machine_id_str(), id_md5);
    char joined[4096];
    str_sprintf_s(joined, sizeof joined, "%s\t%s", text ? text : "", id_md5);
    char md5[33];
    pl_md5_str_hex(joined, md5);
    (void)str_safecopy(out, md5);
    return out;
}

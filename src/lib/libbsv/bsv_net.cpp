#include "libbsv/bsv_net.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "libbsv/bsv_types.h"
#include "libpal/env/pl_sysinfo.h"
#include "libpal/hash/crc.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/os/os_thread.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"

namespace {

std::atomic<int> g_scramble{0};
std::atomic<uint16_t> g_app_id{0};

// The host name of the platform record, or the system's when the record
// was never filled.
const char* host_name() {
    if (g_sysinfo.hostname[0]) return g_sysinfo.hostname;
    static char name[128];
    static std::once_flag once;
    std::call_once(once, [] { os_get_hostname(name, sizeof name); });
    return name;
}

uint16_t app_id() {
    uint16_t id = g_app_id.load(std::memory_order_relaxed);
    if (id) return id;
    id = bsv_app_id(g_app.app_name);
    if (id) g_app_id.store(id, std::memory_order_relaxed);
    return id;
}

uint32_t ver_id() { return g_app.app_ver_num ? g_app.app_ver_num : g_sysinfo.ver_id; }

}  // namespace

void bsv_net_set_scramble(int on) { g_scramble.store(on ? 1 : 0); }
int bsv_net_get_scramble() { return g_scramble.load(); }

uint32_t bsv_net_head_init(uint8_t* buf, uint16_t type_id) {
    memcpy(buf, "bsv", 3);
    buf[3] = static_cast<uint8_t>(BSV_NET_F_CRC | (g_scramble.load() ? BSV_NET_F_SCRAMBLE : 0));
    // Packet integers are little-endian whatever the host.
    mem_set_u16(MEM_SWAP_LE, buf, 4, 0);
    mem_set_u16(MEM_SWAP_LE, buf, 6, BSV_TYPE_NET_HEAD);
    mem_set_u64(MEM_SWAP_LE, buf, 8, g_sysinfo.machine_id);
    mem_set_u64(MEM_SWAP_LE, buf, 16, g_sysinfo.uptime);
    mem_set_u64(MEM_SWAP_LE, buf, 24, g_sysinfo.start_clock);
    mem_set_u32(MEM_SWAP_LE, buf, 32, ver_id());
    mem_set_u16(MEM_SWAP_LE, buf, 36, app_id());
    buf[38] = g_sysinfo.os_id;
    buf[39] = g_sysinfo.arch_id;
    mem_set_u16(MEM_SWAP_LE, buf, 40, type_id);
    return BSV_NET_HEAD_SIZE;
}

int32_t bsv_net_log_packet(uint8_t* buf, uint16_t type, const void* record, uint32_t len) {
    if (!buf || (!record && len)) return -1;
    // The host name is cut (and terminated) to leave room for the record,
    // which is copied whole: its integers hold zero bytes.
    if (len + 1 > BSV_NET_BODY_MAX) return -1;
    uint32_t n = bsv_net_head_init(buf, type ? type : static_cast<uint16_t>(BSV_TYPE_LOG));
    const char* host = host_name();
    size_t host_len = strnlen(host, BSV_NET_BODY_MAX - len - 1);
    memcpy(buf + n, host, host_len);
    buf[n + host_len] = 0;
    n += static_cast<uint32_t>(host_len) + 1;
    if (len) memcpy(buf + n, record, len);
    n += len;
    return bsv_net_finish(buf, n);
}

int32_t bsv_net_finish(uint8_t* buf, uint32_t n) {
    if (!buf || n < BSV_NET_HEAD_SIZE) return -1;
    uint8_t flags = buf[3];
    if (flags & BSV_NET_F_CRC) {
        if (n > BSV_NET_CRC_LIMIT) return -1;
        mem_set_u16(MEM_SWAP_LE, buf, 4, static_cast<uint16_t>(n + 1));
        buf[n] = static_cast<uint8_t>(hash_crc8(buf + 3, n - 3, 0));
        ++n;
    } else {
        if (n > BSV_NET_PACKET_MAX) return -1;
        mem_set_u16(MEM_SWAP_LE, buf, 4, static_cast<uint16_t>(n));
    }
    if (flags & BSV_NET_F_SCRAMBLE) bsv_net_scramble(buf, n);
    return static_cast<int32_t>(n);
}

void bsv_net_scramble(uint8_t* buf, uint32_t len) {
    if (!buf || len <= 4) return;
    // A key schedule of this call's own: packets from several threads may be
    // scrambled at once.
    rc4_ctx rc4;
    rc4_init(&rc4, BSV_NET_KEY, sizeof BSV_NET_KEY);
    rc4_crypt(&rc4, buf + 4, buf + 4, len - 4);
}

int32_t bsv_parse_net_type(uint8_t* packet, uint32_t len) {
    if (!packet || len < 16) {
        LOG2(LOG2_DBG, "bsv", "len=%d error: len<16 \n", static_cast<int>(len));
        return -1;
    }
    if (memcmp(packet, "bsv", 3) != 0) {
        LOG2(LOG2_DBG, "bsv", "magic 0x%x-0x%x-0x%x error\n", packet[0], packet[1], packet[2]);
        return -1;
    }
    uint8_t flags = packet[3];
    if (flags >> 4) {
        LOG2(LOG2_DBG, "bsv", "ver=%d not supportd\n", flags >> 4);
        return -1;
    }
    if (flags & BSV_NET_F_SCRAMBLE) bsv_net_scramble(packet, len);
    if ((flags & BSV_NET_F_CRC) && static_cast<uint8_t>(hash_crc8(packet + 3, len - 4, 0)) != packet[len - 1]) {
        LOG2(LOG2_DBG, "bsv", "crc check failed\n");
        return -1;
    }
    bool big = flags & BSV_NET_F_SWAP;
    uint32_t dlen = mem_get_u16(mem_swap_of(big), packet, 4);
    if (dlen != len) {
        LOG2(LOG2_DBG, "bsv", "len=%d dlen=%d endian=%d error: len!=dlen\n", static_cast<int>(len),
             static_cast<int>(dlen), big ? 1 : 0);
        return -1;
    }
    return mem_get_u16(mem_swap_of(big), packet, 6);
}

int bsv_net_log_parse(uint8_t* packet, uint32_t len, bsv_net_head* out) {
    if (!out) return -1;
    int32_t type = bsv_parse_net_type(packet, len);
    if (type < 0 || len < BSV_NET_HEAD_SIZE) return -1;
    const int swap = mem_swap_of(packet[3] & BSV_NET_F_SWAP);
    uint32_t end = (packet[3] & BSV_NET_F_CRC) ? len - 1 : len;
    *out = {};
    out->flags = packet[3];
    out->length = static_cast<uint16_t>(len);
    out->type = static_cast<uint16_t>(type);
    out->sid = mem_get_u64(swap, packet, 8);
    out->bid = mem_get_u64(swap, packet, 16);
    out->stime = mem_get_u64(swap, packet, 24);
    out->ver_id = mem_get_u32(swap, packet, 32);
    out->app_id = mem_get_u16(swap, packet, 36);
    out->os_id = packet[38];
    out->arch_id = packet[39];
    out->type_id = mem_get_u16(swap, packet, 40);
    if (end <= BSV_NET_HEAD_SIZE) return -1;
    const void* term = memchr(packet + BSV_NET_HEAD_SIZE, 0, end - BSV_NET_HEAD_SIZE);
    if (!term) return -1;
    out->hostname = reinterpret_cast<const char*>(packet + BSV_NET_HEAD_SIZE);
    out->data = static_cast<const uint8_t*>(term) + 1;
    out->data_len = static_cast<uint32_t>(packet + end - out->data);
    return 0;
}

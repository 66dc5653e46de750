#include "libbsvf/bsvf_pcap.h"

#include <ctime>

#include "libbsv/bsv_types.h"
#include "libbsv/bsv_value.h"
#include "libbsvf/pcap.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

namespace {

constexpr uint32_t k_dlt_base = 146;
constexpr uint32_t k_record_skip = 12;  // sec and usec are the packet's time stamp

}  // namespace

int32_t bsvf_type_2_dlt(uint32_t type) {
    if (type < 1 || type > 15) {
        LOG2(LOG2_ERR, "bsvf", "type=%d error\n", static_cast<int>(type));
        return -1;
    }
    return static_cast<int32_t>(k_dlt_base + type);
}

bsvf_pcap* bsvf_pcap_create_imp(const char* path, int append, uint32_t type) {
    int32_t dlt = bsvf_type_2_dlt(type);
    if (dlt < 0) return nullptr;
    auto* w = static_cast<bsvf_pcap*>(pl_zalloc(sizeof(bsvf_pcap)));
    if (!w) return nullptr;
    w->value = bsv_type_open_value(type);
    if (!w->value) {
        LOG2(LOG2_DBG, "bsvf", "bsv_value_init_form_type failed.\n");
        bsvf_pcap_close(w);
        return nullptr;
    }
    w->hdr = pcap_open_dead(static_cast<uint32_t>(dlt), BSVF_SNAPLEN, bsv_type_get_os_endian(type));
    if (!w->hdr) {
        LOG2(LOG2_DBG, "bsvf", "pcap_open_dead failed.\n");
        bsvf_pcap_close(w);
        return nullptr;
    }
    w->dumper = append ? pcap_dump_open_append(w->hdr, path) : pcap_dump_open(w->hdr, path);
    if (!w->dumper) {
        LOG2(LOG2_DBG, "bsvf", "pcap_dump_open failed.\n");
        bsvf_pcap_close(w);
        return nullptr;
    }
    return w;
}

bsvf_pcap* bsvf_pcap_create(const char* path, uint32_t type) { return bsvf_pcap_create_imp(path, 0, type); }

bsvf_pcap* bsvf_pcap_open_append(const char* path, uint32_t type) { return bsvf_pcap_create_imp(path, 1, type); }

int bsvf_pcap_write(bsvf_pcap* w, const void* record, uint32_t len) {
    if (!w) return -1;
    pcap_pkthdr h{};
    if (len == 0) {
        // Nothing in the record to take the time from.
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        h.sec = static_cast<uint32_t>(ts.tv_sec);
        h.usec = static_cast<uint32_t>(ts.tv_nsec / 1000);
        return pcap_dump(w->dumper, &h, nullptr);
    }
    if (!PL_CHECK_TEXT("bsvf", len > k_record_skip, "len > 12") || !record) return -1;
    h.sec = static_cast<uint32_t>(bsv_value_get_u64(w->value, record, len, 0));
    h.usec = bsv_value_get_u32(w->value, record, len, 1);
    h.caplen = h.len = len - k_record_skip;
    return pcap_dump(w->dumper, &h, static_cast<const uint8_t*>(record) + k_record_skip);
}

int bsvf_pcap_set_fsize(bsvf_pcap* w, uint32_t cap) { return w ? pcap_dump_set_fsize(w->dumper, cap) : -1; }
int bsvf_pcap_flush(bsvf_pcap* w) { return w ? pcap_dump_flush(w->dumper) : -1; }
int bsvf_pcap_reset(bsvf_pcap* w) { return w ? pcap_dump_reset(w->dumper) : -1; }
int bsvf_pcap_pipe_flush(bsvf_pcap* w) { return w ? pcap_dump_pipe_flush(w->dumper) : -1; }

void bsvf_pcap_close(bsvf_pcap* w) {
    if (!w) return;
    pcap_dump_close(w->dumper);
    pcap_close(w->hdr);
    bsv_value_exit(w->value);
    pl_free(w);
}

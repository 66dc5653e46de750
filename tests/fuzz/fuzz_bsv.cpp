// Binary log records, their network packets, value readers of format
// texts, and capture files.
//
// Input: one selector byte, then the record, the packet, a format text and
// a record, or an existing capture file. Checks: a record that reads packs
// back to its own bytes; a packet that parses wraps its record into a
// packet that parses to the same record; every value read stays inside the
// record; a capture file is either refused and left byte for byte as it
// was, or after new records and a trim keeps its header and its end from a
// packet boundary on; when the packets found in it added up, they still do
// and the newest is the last record written.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_record.h"
#include "libbsv/bsv_types.h"
#include "libbsv/bsv_value.h"
#include "libbsvf/bsvf_pcap.h"
#include "libbsvf/pcap.h"

namespace {

bool inside(const char* p, const uint8_t* rec, size_t len) {
    const auto* q = reinterpret_cast<const uint8_t*>(p);
    return q >= rec && q < rec + len && memchr(q, 0, static_cast<size_t>(rec + len - q)) != nullptr;
}

// A record that reads packs back to its own bytes: the head as it stands,
// then the six texts.
void check_log_record(const std::string_view bytes, bool kernel) {
    const std::vector<uint8_t> rec(bytes.begin(), bytes.end());
    const uint32_t len = static_cast<uint32_t>(rec.size());
    bsv_log_rec r{};
    const int rc = kernel ? bsv_klog_record_read(rec.data(), len, &r) : bsv_log_record_read(rec.data(), len, &r);
    if (rc != 0) return;
    const char* texts[] = {r.tag, r.tid_name, r.file, r.line, r.func, r.msg};
    for (const char* t : texts) FUZZ_CHECK(inside(t, rec.data(), rec.size()));
    const uint32_t head = kernel ? BSV_KLOG_HEAD_SIZE : BSV_LOG_HEAD_SIZE;
    FUZZ_CHECK(texts[0] == reinterpret_cast<const char*>(rec.data() + head));
    if (len > head + BSV_LOG_STR_ROOM) return;
    std::vector<uint8_t> again(head + BSV_LOG_STR_ROOM);
    memcpy(again.data(), rec.data(), head);
    const uint32_t used = bsv_pack_strings(again.data() + head, BSV_LOG_STR_ROOM, texts, 6);
    FUZZ_CHECK(head + used <= len);
    FUZZ_CHECK(memcmp(again.data(), rec.data(), head + used) == 0);
    bsv_log_rec r2{};
    FUZZ_CHECK((kernel ? bsv_klog_record_read(again.data(), head + used, &r2)
                       : bsv_log_record_read(again.data(), head + used, &r2)) == 0);
    FUZZ_CHECK(r2.sec == r.sec && r2.usec == r.usec && r2.pid == r.pid && r2.tid == r.tid && r2.level == r.level);
    FUZZ_CHECK(strcmp(r2.msg, r.msg) == 0);
}

void check_packet(fuzz::reader& in) {
    bsv_net_set_scramble(in.byte() & 1);
    const std::string_view rest = in.rest();
    std::vector<uint8_t> pkt(rest.begin(), rest.end());
    bsv_net_head h{};
    if (bsv_net_log_parse(pkt.data(), static_cast<uint32_t>(pkt.size()), &h) != 0) return;
    FUZZ_CHECK(inside(h.hostname, pkt.data(), pkt.size()));
    FUZZ_CHECK(h.data >= pkt.data() && h.data + h.data_len <= pkt.data() + pkt.size());
    uint8_t out[BSV_NET_PACKET_MAX];
    const int32_t n = bsv_net_log_packet(out, h.type_id, h.data, h.data_len);
    if (n < 0) return;
    bsv_net_head h2{};
    FUZZ_CHECK(bsv_net_log_parse(out, static_cast<uint32_t>(n), &h2) == 0);
    FUZZ_CHECK(h2.type_id == (h.type_id ? h.type_id : static_cast<uint32_t>(BSV_TYPE_LOG)));
    FUZZ_CHECK(h2.data_len == h.data_len);
    FUZZ_CHECK(memcmp(h2.data, h.data, h.data_len) == 0);
}

// Every value of a record read through a format stays inside the record.
void check_values(fuzz::reader& in) {
    const uint32_t swap = in.byte() & 1;
    const std::string format = in.text();
    const std::string_view rest = in.rest();
    const std::vector<uint8_t> rec(rest.begin(), rest.end());
    const uint32_t len = static_cast<uint32_t>(rec.size());
    bsv_value_ctx* v = bsv_value_init(format.c_str(), swap);
    if (!v) return;
    const uint32_t count = bsv_value_get_count(v);
    for (uint32_t i = 0; i <= count && i < 64; i++) {
        const bsv_value_row* row = bsv_value_get_name(v, i);
        if (i == count) {
            FUZZ_CHECK(row == nullptr);
            break;
        }
        FUZZ_CHECK(row != nullptr);
        FUZZ_CHECK(bsv_value_index(v, row->name) >= 0);
        if (row->type == VALUE_TYPE_STRING) {
            const char* s = bsv_value_get_str(v, rec.data(), len, i);
            FUZZ_CHECK(s != nullptr);
            FUZZ_CHECK(*s == 0 || inside(s, rec.data(), rec.size()));
        } else {
            const uint64_t val = bsv_value_get(v, rec.data(), len, i);
            if (row->offset + row->width > len) FUZZ_CHECK(val == 0);
            if (row->width < 8) FUZZ_CHECK(val >> (8 * row->width) == 0);
            (void)bsv_value_get_u8(v, rec.data(), len, i);
        }
        uint64_t found = 0;
        (void)bsv_value_find(v, rec.data(), len, row->name, &found);
    }
    bsv_value_exit(v);
}

uint32_t get32(const uint8_t* p, bool swapped) {
    uint32_t v;
    memcpy(&v, p, 4);
    return swapped ? __builtin_bswap32(v) : v;
}

// The offset where the walk over whole packet records from the header
// stops (the file size when they add up), and the start of the last one.
size_t packets_end(const std::string& file, bool swapped, size_t* last) {
    const auto* b = reinterpret_cast<const uint8_t*>(file.data());
    size_t off = PCAP_HDR_SIZE;
    *last = 0;
    while (off + PCAP_PKTHDR_SIZE <= file.size()) {
        const size_t next = off + PCAP_PKTHDR_SIZE + get32(b + off + 8, swapped);
        if (next > file.size()) break;
        *last = off;
        off = next;
    }
    return off;
}

// A capture file found on disk, a few records appended, then a trim.
void check_capture(fuzz::reader& in) {
    const uint32_t cap = 64 + 16 * in.byte();
    const std::string_view old = in.rest();
    const std::string path = fuzz::scratch_dir() + "/log.pcap";
    FUZZ_CHECK(fuzz::write_file(path, old.data(), old.size()));
    bsvf_pcap* w = bsvf_pcap_open_append(path.c_str(), BSV_TYPE_LOG);
    std::string now;
    if (!w) {
        FUZZ_CHECK(fuzz::read_file(path, &now));
        FUZZ_CHECK(now == old);
        return;
    }
    uint8_t rec[BSV_LOG_RECORD_MAX];
    int32_t n = 0;
    for (int i = 0; i < 3; i++) {
        const std::string msg = "record " + std::to_string(i);
        n = bsv_log_record_write(rec, 3, "fuzz", "fuzz_bsv.cpp", i, "check_capture", msg.c_str());
        FUZZ_CHECK(n > 12);
        FUZZ_CHECK(bsvf_pcap_write(w, rec, static_cast<uint32_t>(n)) == 0);
    }
    FUZZ_CHECK(bsvf_pcap_flush(w) == 0);
    std::string before;
    FUZZ_CHECK(fuzz::read_file(path, &before));
    const int rc = bsvf_pcap_set_fsize(w, cap);
    bsvf_pcap_close(w);
    FUZZ_CHECK(fuzz::read_file(path, &now));
    if (rc != 0) {
        FUZZ_CHECK(now == before);
        return;
    }
    // The header, then the file's end from a packet boundary on.
    FUZZ_CHECK(now.size() >= PCAP_HDR_SIZE && now.size() <= before.size());
    FUZZ_CHECK(memcmp(now.data(), before.data(), PCAP_HDR_SIZE) == 0);
    FUZZ_CHECK(memcmp(now.data() + PCAP_HDR_SIZE, before.data() + before.size() - (now.size() - PCAP_HDR_SIZE),
                      now.size() - PCAP_HDR_SIZE) == 0);
    // When the packets found in the file added up to its end, the new ones
    // follow them: the trimmed file still adds up and ends with the last.
    // Packet headers go in the writer's byte order (that of log records: the
    // machine's), whatever the header found in the file says.
    const bool swapped = false;
    size_t last = 0;
    const std::string found(old);
    if (!found.empty() && packets_end(found, swapped, &last) != found.size()) return;
    FUZZ_CHECK(packets_end(now, swapped, &last) == now.size());
    FUZZ_CHECK(last != 0);
    const auto* b = reinterpret_cast<const uint8_t*>(now.data());
    const uint32_t data_len = static_cast<uint32_t>(n) - 12;
    FUZZ_CHECK(get32(b + last + 8, swapped) == data_len);
    FUZZ_CHECK(memcmp(b + last + PCAP_PKTHDR_SIZE, rec + 12, data_len) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    fuzz::reader in(data, size);
    switch (in.byte() % 5) {
    case 0: check_log_record(in.rest(), false); break;
    case 1: check_log_record(in.rest(), true); break;
    case 2: check_packet(in); break;
    case 3: check_values(in); break;
    default: check_capture(in); break;
    }
    return 0;
}

// Capture files of binary log records: each record is one packet whose time
// stamp is the record's own (sec, usec) and whose data is the record from
// its pid field (byte 12) on. Link type 146 + record type (147 for log
// records), snapshot length 65536, header byte order that of the record type.
#pragma once

#include <cstdint>

struct pcap_hdr;
struct pcap_dumper;
struct bsv_value_ctx;

inline constexpr uint32_t BSVF_SNAPLEN = 65536;

struct bsvf_pcap {
    pcap_hdr* hdr;
    pcap_dumper* dumper;
    bsv_value_ctx* value;
};

// The link type of a record type (1 to 15), or -1 ("type=%d error").
int32_t bsvf_type_2_dlt(uint32_t type);

// A writer on a new file / on a file opened for appending, or nothing
// (logged at dbg under tag "bsvf").
bsvf_pcap* bsvf_pcap_create(const char* path, uint32_t type);
bsvf_pcap* bsvf_pcap_open_append(const char* path, uint32_t type);
bsvf_pcap* bsvf_pcap_create_imp(const char* path, int append, uint32_t type);

// Writes one record: a record of 0 bytes gives an empty packet, one of 1 to
// 12 bytes is refused. 0 or -1.
int bsvf_pcap_write(bsvf_pcap* w, const void* record, uint32_t len);
int bsvf_pcap_set_fsize(bsvf_pcap* w, uint32_t cap);
int bsvf_pcap_flush(bsvf_pcap* w);
void bsvf_pcap_close(bsvf_pcap* w);
int bsvf_pcap_reset(bsvf_pcap* w);
int bsvf_pcap_pipe_flush(bsvf_pcap* w);

// A small writer of classic pcap capture files (microsecond time stamps).
//
// Global header, 24 bytes: magic 0xA1B2C3D4, version 2.4, zone 0, figures
// 0, snapshot length, link type; each packet a 16-byte record header
// (seconds, microseconds, captured length, full length) and the captured
// bytes. Header fields are in the machine's byte order, or all byte-swapped
// when the swapped flag is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct os_name_pipe_srv;

inline constexpr uint32_t PCAP_MAGIC = 0xA1B2C3D4u;
inline constexpr uint32_t PCAP_HDR_SIZE = 24;
inline constexpr uint32_t PCAP_PKTHDR_SIZE = 16;

struct pcap_hdr {
    uint8_t bytes[PCAP_HDR_SIZE];  // as they are written
    uint32_t swapped;
};

struct pcap_pkthdr {
    uint32_t sec;
    uint32_t usec;
    uint32_t caplen;
    uint32_t len;
};

enum : uint32_t {
    PCAP_DUMP_FILE = 0,
    PCAP_DUMP_PIPE = 2,
};

struct pcap_dumper {
    pcap_hdr hdr;
    uint32_t kind;  // PCAP_DUMP_*; only files are made
    FILE* stream;   // nothing once a failed trim lost it
    uint32_t state;
    char* path;
    uint32_t connected;
    os_name_pipe_srv* pipe;  // PCAP_DUMP_PIPE
};

// A header record, or nothing when memory runs out; freed with pcap_close.
pcap_hdr* pcap_open_dead(uint32_t link_type, uint32_t snaplen, uint32_t swapped);
void pcap_close(pcap_hdr* hdr);

// Creates the file and writes the global header.
pcap_dumper* pcap_dump_open(const pcap_hdr* hdr, const char* path);
// Opens the file for appending; the global header is written only when the
// file is empty (an existing header is not compared).
pcap_dumper* pcap_dump_open_append(const pcap_hdr* hdr, const char* path);
pcap_dumper* pcap_dump_open_imp(const pcap_hdr* hdr, const char* path, int append);
// Writes the record header and caplen bytes of data. 0, or -1 when the
// dumper has no stream or the write fails.
int pcap_dump(pcap_dumper* d, const pcap_pkthdr* h, const void* data);
int pcap_dump_flush(pcap_dumper* d);
// Keeps the file below cap: once it has reached cap bytes, the oldest
// packets are dropped so that the header and the newest whole packets,
// about half the cap, remain. A file whose packet records do not add up is
// restarted with its header. 0, or -1 when the file could not be trimmed.
int pcap_dump_set_fsize(pcap_dumper* d, uint32_t cap);
void pcap_dump_close(pcap_dumper* d);
// Only for dumpers of the pipe kind; -1 for every other.
int pcap_dump_reset(pcap_dumper* d);
int pcap_dump_pipe_flush(pcap_dumper* d);

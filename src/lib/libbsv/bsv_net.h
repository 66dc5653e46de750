// Network packets of binary log records ("bsv" packets), as sent over the
// UDP log transport.
//
// Layout, integers little-endian:
//   0 "bsv"; 3 flags (bit 0 byte order of length and type, bit 1 a CRC-8
//   byte ends the packet, bit 2 bytes 4 to the end are scrambled, high
//   nibble version 0); 4 u16 packet length (CRC byte included); 6 u16 record
//   type of the head (5); 8 u64 sid (machine id); 16 u64 bid (seconds since
//   boot at start-up); 24 u64 stime (real-time seconds at start-up); 32 u32
//   ver_id; 36 u16 app_id; 38 u8 os_id; 39 u8 arch_id; 40 u16 type_id (type of
//   the carried record); 42 host name with terminator, then the carried
//   record; the CRC-8 (polynomial 0x07, from 0) of bytes 3 to the byte
//   before it.
//
// Scrambling XORs bytes 4 to the end (CRC byte included) with the RC4
// keystream of a fixed 16-byte key; applying it again restores the packet.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t BSV_NET_HEAD_SIZE = 42;
inline constexpr uint32_t BSV_NET_BODY_MAX = 1430;    // host name and record
inline constexpr uint32_t BSV_NET_PACKET_MAX = 1472;  // CRC byte included
inline constexpr uint32_t BSV_NET_CRC_LIMIT = 1471;   // longest packet before the CRC byte

enum : uint8_t {
    BSV_NET_F_SWAP = 0x1,
    BSV_NET_F_CRC = 0x2,
    BSV_NET_F_SCRAMBLE = 0x4,
};

// The scrambling key. Receivers of scrambled packets need the same bytes.
inline constexpr uint8_t BSV_NET_KEY[16] = {0x3c, 0xa1, 0x5e, 0x07, 0xd2, 0x94, 0x6b, 0xf8,
                                            0x9e, 0x37, 0x79, 0xb9, 0x7f, 0x4a, 0x7c, 0x15};

// The head fields of a packet.
struct bsv_net_head {
    uint8_t flags;
    uint16_t length;
    uint16_t type;
    uint64_t sid;
    uint64_t bid;
    uint64_t stime;
    uint32_t ver_id;
    uint16_t app_id;
    uint8_t os_id;
    uint8_t arch_id;
    uint16_t type_id;
    const char* hostname;  // inside the packet
    const uint8_t* data;   // the carried record, inside the packet
    uint32_t data_len;
};

// Process-wide scrambling switch (it is only ever turned on by the program).
void bsv_net_set_scramble(int on);
int bsv_net_get_scramble();

// Fills the 42 head bytes (length 0) for a carried record of type_id, with
// the flags of the scrambling switch; the head size.
uint32_t bsv_net_head_init(uint8_t* buf, uint16_t type_id);
// A whole packet around a record into buf (BSV_NET_PACKET_MAX bytes); type 0
// means the log record type. The packet length, or -1 when it does not fit.
int32_t bsv_net_log_packet(uint8_t* buf, uint16_t type, const void* record, uint32_t len);
// Completes a packet of n bytes: length field, CRC byte, scrambling. The
// final length, or -1 when it would be too long.
int32_t bsv_net_finish(uint8_t* buf, uint32_t n);
// XORs bytes 4 to len - 1 with the keystream of a fresh key schedule.
void bsv_net_scramble(uint8_t* buf, uint32_t len);

// The receiving side. Checks a packet and unscrambles it in place: the
// record type of the head, or -1 (logged at dbg under tag "bsv").
int32_t bsv_parse_net_type(uint8_t* packet, uint32_t len);
// bsv_parse_net_type, then the head fields, host name and carried record:
// 0, or -1 for a packet that fails the checks or whose host name is not
// terminated inside it.
int bsv_net_log_parse(uint8_t* packet, uint32_t len, bsv_net_head* out);

// An independent reader of binary log records and "bsv" network packets,
// written from the format description (not from the library): bitwise
// CRC-8 (polynomial 0x07, from 0), textbook RC4, little-endian fields.
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace bsv_oracle {

inline uint8_t crc8(const uint8_t* p, size_t n) {
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// XORs data with the RC4 keystream of key (a fresh schedule).
inline void rc4(const uint8_t* key, size_t klen, uint8_t* data, size_t n) {
    uint8_t S[256];
    for (int i = 0; i < 256; ++i) S[i] = static_cast<uint8_t>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + S[i] + key[i % klen]) & 0xff;
        std::swap(S[i], S[j]);
    }
    for (size_t k = 0, i = 0, j = 0; k < n; ++k) {
        i = (i + 1) & 0xff;
        j = (j + S[i]) & 0xff;
        std::swap(S[i], S[j]);
        data[k] ^= S[(S[i] + S[j]) & 0xff];
    }
}

inline uint64_t le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

struct record {
    uint64_t sec = 0;
    uint32_t usec = 0, pid = 0, tid = 0;
    uint8_t level = 0;
    std::vector<std::string> texts;  // tag, thread name, path, line, function, message
    bool ok = false;
};

// A type-1 log record.
inline record read_record(const uint8_t* p, size_t n) {
    record r;
    if (n < 21) return r;
    r.sec = le(p, 8);
    r.usec = static_cast<uint32_t>(le(p + 8, 4));
    r.pid = static_cast<uint32_t>(le(p + 12, 4));
    r.tid = static_cast<uint32_t>(le(p + 16, 4));
    r.level = p[20];
    size_t at = 21;
    for (int i = 0; i < 6; ++i) {
        const void* z = at < n ? memchr(p + at, 0, n - at) : nullptr;
        if (!z) return r;
        size_t end = static_cast<size_t>(static_cast<const uint8_t*>(z) - p);
        r.texts.emplace_back(reinterpret_cast<const char*>(p + at), end - at);
        at = end + 1;
    }
    r.ok = at == n;
    return r;
}

struct packet {
    uint8_t flags = 0;
    uint16_t length = 0, type = 0, app_id = 0, type_id = 0;
    uint64_t sid = 0, bid = 0, stime = 0;
    uint32_t ver_id = 0;
    uint8_t os_id = 0, arch_id = 0;
    std::string host;
    std::vector<uint8_t> data;  // the carried record
    bool crc_ok = false;
    bool ok = false;
};

// A packet as received; key unscrambles it when its flags say so.
inline packet read_packet(std::vector<uint8_t> b, const uint8_t* key, size_t klen) {
    packet k;
    if (b.size() < 43 || memcmp(b.data(), "bsv", 3) != 0) return k;
    k.flags = b[3];
    if (k.flags & 4) rc4(key, klen, b.data() + 4, b.size() - 4);
    k.length = static_cast<uint16_t>(le(&b[4], 2));
    k.type = static_cast<uint16_t>(le(&b[6], 2));
    k.sid = le(&b[8], 8);
    k.bid = le(&b[16], 8);
    k.stime = le(&b[24], 8);
    k.ver_id = static_cast<uint32_t>(le(&b[32], 4));
    k.app_id = static_cast<uint16_t>(le(&b[36], 2));
    k.os_id = b[38];
    k.arch_id = b[39];
    k.type_id = static_cast<uint16_t>(le(&b[40], 2));
    size_t end = b.size();
    if (k.flags & 2) {
        k.crc_ok = crc8(b.data() + 3, b.size() - 4) == b.back();
        --end;
    }
    const void* z = memchr(&b[42], 0, end - 42);
    if (!z) return k;
    size_t hz = static_cast<size_t>(static_cast<const uint8_t*>(z) - b.data());
    k.host.assign(reinterpret_cast<const char*>(&b[42]), hz - 42);
    k.data.assign(b.begin() + static_cast<ptrdiff_t>(hz + 1), b.begin() + static_cast<ptrdiff_t>(end));
    k.ok = k.length == b.size();
    return k;
}

}  // namespace bsv_oracle

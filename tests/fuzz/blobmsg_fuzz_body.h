// One round of the reply-parse fuzzing: parse the bytes with a reply policy
// and read every field the parse returns. Shared by the libFuzzer target and
// the seeded mutation test, both run under the address sanitizer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libkxsd/blobmsg.h"
#include "libkxsd/kxsd_proto.h"

inline void blobmsg_fuzz_one(const uint8_t* data, size_t size) {
    // An exact-size copy, so that any read past the end is caught.
    std::vector<uint8_t> buf(data, data + size);
    static const blobmsg_policy policy[] = {
        {"errno", BLOBMSG_TYPE_INT32},  {"errno_str", BLOBMSG_TYPE_STRING}, {"fd", BLOBMSG_TYPE_INT64},
        {"len", BLOBMSG_TYPE_INT32},    {"data", BLOBMSG_TYPE_BINARY},      {"info", BLOBMSG_TYPE_STRING},
        {"x", BLOBMSG_TYPE_UNSPEC},     {nullptr, BLOBMSG_TYPE_UNSPEC},      {"flags", BLOBMSG_TYPE_INT16},
    };
    constexpr int rows = static_cast<int>(sizeof policy / sizeof policy[0]);
    const msg_attr* out[rows];
    const int32_t len = static_cast<int32_t>(size > 0x7fffffff ? 0x7fffffff : size);
    cli_blobmsg_parse(policy, rows, out, buf.data(), len);
    volatile uint64_t sink = 0;
    for (int i = 0; i < rows; i++) {
        if (!out[i]) continue;
        const uint8_t* start = buf.data();
        const uint8_t* a = msg_attr_bytes(out[i]);
        const int32_t dlen = blobmsg_data_len(out[i]);
        const uint8_t* d = blobmsg_data(out[i]);
        if (!blobmsg_check(out[i], true) || dlen < 0 || a < start || d + dlen > start + size) std::abort();
        for (int32_t k = 0; k < dlen; k++) sink = sink + d[k];
        if (policy[i].type == BLOBMSG_TYPE_STRING) sink = sink + std::strlen(blobmsg_get_string(out[i]));
        if (policy[i].type == BLOBMSG_TYPE_INT32) sink = sink + static_cast<uint32_t>(blobmsg_get_i32(out[i]));
        if (policy[i].type == BLOBMSG_TYPE_INT64) sink = sink + static_cast<uint64_t>(blobmsg_get_i64(out[i]));
    }
    (void)sink;
}

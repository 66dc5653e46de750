#include "libpal/hash/digest_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

uint64_t load_field(const uint8_t* p, uint8_t width) {
    switch (width) {
    case 1: return *p;
    case 4: { uint32_t v; memcpy(&v, p, 4); return v; }
    default: { uint64_t v; memcpy(&v, p, 8); return v; }
    }
}

void store_field(uint8_t* p, uint8_t width, uint64_t v) {
    switch (width) {
    case 1: *p = static_cast<uint8_t>(v); break;
    case 4: { uint32_t w = static_cast<uint32_t>(v); memcpy(p, &w, 4); break; }
    default: memcpy(p, &v, 8); break;
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One field from *pos up to the next "," or the end; advances *pos past it.
// -1 for an empty field, a character that is no digit, or a value wider
// than width bytes.
int parse_field(const char** pos, uint8_t width, uint64_t* out) {
    const uint64_t max = width == 8 ? UINT64_MAX : (uint64_t{1} << (8 * width)) - 1;
    const char* p = *pos;
    uint64_t v = 0;
    size_t digits = 0;
    for (; *p && *p != ','; p++, digits++) {
        int d = hex_value(*p);
        if (d < 0 || v > (max >> 4)) return -1;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    if (digits == 0) return -1;
    *pos = p;
    *out = v;
    return 0;
}

}  // namespace

int digest_text_get(const void* rec, std::span<const digest_field> fields, char* text, size_t size) {
    if (!text || size == 0) return -1;
    char full[DIGEST_TEXT_MAX];
    size_t len = 0;
    const auto* base = static_cast<const uint8_t*>(rec);
    for (const digest_field& f : fields) {
        for (size_t i = 0; i < f.count; i++) {
            uint64_t v = load_field(base + f.offset + i * f.width, f.width);
            int n = snprintf(full + len, sizeof full - len, "%" PRIx64 ",", v);
            if (n < 0 || static_cast<size_t>(n) >= sizeof full - len) return -1;
            len += static_cast<size_t>(n);
        }
    }
    if (len > 0) full[--len] = '\0';  // the comma after the last field
    size_t keep = len < size - 1 ? len : size - 1;
    memcpy(text, full, keep);
    text[keep] = '\0';
    return 0;
}

int digest_text_set(void* rec, std::span<const digest_field> fields, const char* text) {
    if (!text) return -1;
    auto* base = static_cast<uint8_t*>(rec);
    const char* p = text;
    bool first = true;
    for (const digest_field& f : fields) {
        for (size_t i = 0; i < f.count; i++) {
            if (!first && *p++ != ',') return -1;  // too few fields
            first = false;
            uint64_t v;
            if (parse_field(&p, f.width, &v) != 0) return -1;
            store_field(base + f.offset + i * f.width, f.width, v);
        }
    }
    return *p == '\0' ? 0 : -1;  // anything left is one field too many
}

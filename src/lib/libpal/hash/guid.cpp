#include "libpal/hash/guid.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/random.h"
#include "libpal/string/str_safe.h"

int32_t guid_get_buf(void* buf, size_t len) {
    if (!PL_CHECK("pal", buf) || !PL_CHECK_TEXT("pal", len == 16, "len==16")) return -1;
    return memory_random_strong(buf, len) == 0 ? 0 : -1;
}

char* guid_fmt_str(const void* guid, char* text, size_t len) {
    if (!PL_CHECK("pal", guid) || !PL_CHECK("pal", text) || len == 0) return text;
    PL_CHECK_TEXT("pal", len >= PL_GUID_MAX_STR, "len>=PL_GUID_MAX_STR");
    uint32_t first;
    uint16_t w[8];
    std::memcpy(&first, guid, sizeof first);
    std::memcpy(w, guid, sizeof w);
    str_sprintf_s(text, len, "{%08X-%04X-%04X-%04X-%04X%04X%04X}", first, w[2], w[3], w[4], w[5], w[6], w[7]);
    return text;
}

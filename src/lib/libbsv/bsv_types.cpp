#include "libbsv/bsv_types.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libbsv/bsv_value.h"
#include "liblog/log2.h"

namespace {

struct type_row {
    uint32_t type;
    const char* format;
    uint32_t swap;
};

constexpr type_row k_type_table[] = {
    {BSV_TYPE_LOG, BSV_FORMAT_LOG, 0},           {BSV_TYPE_LOG_SWAP, BSV_FORMAT_LOG, 1},
    {BSV_TYPE_KLOG, BSV_FORMAT_KLOG, 0},         {BSV_TYPE_NET_HEAD, BSV_FORMAT_NET_HEAD, 0},
    {BSV_TYPE_NET_HEAD_SWAP, BSV_FORMAT_NET_HEAD, 1},
};

struct id_row {
    uint32_t id;
    const char* name;
};

constexpr id_row k_apps[] = {
    {1, "kxsd"}, {2, "kxmo"},       {3, "kxta"}, {4, "kxta-gui"}, {5, "mount"},
    {6, "kxta-setup"}, {7, "kxno"}, {8, "kxlu"}, {9, "kxpe"},     {10, "kxwiro"},
};
constexpr id_row k_oses[] = {{1, "windows"}, {2, "linux"}, {3, "macosx"}, {4, "iphone"}, {5, "freebsd"}};
constexpr id_row k_archs[] = {{1, "x86"},     {2, "x64"},          {10, "arm64"},      {12, "armv4tl"},
                              {20, "mips"},   {24, "loongarch32"}, {25, "loongarch64"}};

template <size_t N>
const char* id_name(const id_row (&table)[N], const char* id_text) {
    long id = id_text ? atol(id_text) : 0;
    for (const auto& r : table)
        if (static_cast<long>(r.id) == id) return r.name;
    thread_local char unknown[32];
    snprintf(unknown, sizeof unknown, "unkown(%d)", static_cast<int>(id));
    return unknown;
}

}  // namespace

bool bsv_type_info(uint32_t type, const char** format, uint32_t* swap) {
    for (const auto& r : k_type_table) {
        if (r.type != type) continue;
        if (format) *format = r.format;
        if (swap) *swap = r.swap;
        return true;
    }
    LOG2(LOG2_ERR, "bsv", "type=%d error: not found\n", static_cast<int>(type));
    return false;
}

bsv_value_ctx* bsv_type_open_value(uint32_t type) {
    const char* format = nullptr;
    uint32_t swap = 0;
    if (!bsv_type_info(type, &format, &swap)) return nullptr;
    return bsv_value_init(format, swap);
}

uint32_t bsv_type_get_os_endian(uint32_t type) {
    if (type >= BSV_TYPE_LOG && type <= BSV_TYPE_KLOG) return k_type_table[type - 1].swap;
    LOG2(LOG2_ERR, "bsv", "type=%d error: not found\n", static_cast<int>(type));
    return 0;
}

uint16_t bsv_app_id(const char* name) {
    if (!name || !*name) return 0;
    for (const auto& r : k_apps)
        if (strcmp(r.name, name) == 0) return static_cast<uint16_t>(r.id);
    return 0;
}

const char* bsv_app_name(const char* id_text) { return id_name(k_apps, id_text); }
const char* bsv_os_name(const char* id_text) { return id_name(k_oses, id_text); }
const char* bsv_arch_name(const char* id_text) { return id_name(k_archs, id_text); }

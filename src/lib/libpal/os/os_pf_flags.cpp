// The open flag word and its conversions.
#include <fcntl.h>
#include <strings.h>

#include <cstring>

#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"

uint32_t os_sflag2pf(char* text) {
    uint32_t flags = 0;
    if (!text) return flags;
    char* save = nullptr;
    for (char* w = strtok_r(text, ",.-", &save); w; w = strtok_r(nullptr, ",.-", &save)) {
        if (strcasecmp(w, "rw") == 0) {
            flags = (flags & ~OS_PF_ACCESS_MASK) | OS_PF_RDWR;
        } else if (strcasecmp(w, "readonly") == 0) {
            flags = (flags & ~OS_PF_ACCESS_MASK) | OS_PF_RDONLY;
        } else if (strcasecmp(w, "direct") == 0) {
            flags |= OS_PF_DIRECT;
        } else if (strcasecmp(w, "vss") == 0) {
            flags |= OS_PF_VSS;
        } else if (strcasecmp(w, "sync") != 0) {
            LOG2(LOG2_DBG, "pal", "flags=[%s] not support\n", w);
        }
    }
    return flags;
}

uint32_t os_access_to_pf(uint32_t access, uint32_t disposition) {
    bool rd = (access & (OS_GENERIC_READ | OS_GENERIC_EXECUTE)) != 0;
    bool wr = (access & OS_GENERIC_WRITE) != 0;
    uint32_t flags = 0;
    if (rd && wr)
        flags = OS_PF_RDWR;
    else if (rd)
        flags = OS_PF_RDONLY;
    else if (wr)
        flags = OS_PF_WRONLY;
    switch (disposition) {
    case OS_CREATE_NEW:
    case OS_OPEN_ALWAYS: flags |= OS_PF_CREATE; break;
    case OS_CREATE_ALWAYS: flags |= OS_PF_CREATE | OS_PF_TRUNC; break;
    case OS_TRUNCATE_EXISTING: flags |= OS_PF_TRUNC; break;
    default: break;
    }
    return flags;
}

namespace {

struct oflag_pair {
    uint32_t portable;
    int sys;
};

// Portable flags with a system counterpart (direct has none).
constexpr oflag_pair k_oflags[] = {
    {OS_OF_CREATE, O_CREAT},     {OS_OF_APPEND, O_APPEND},     {OS_OF_TRUNC, O_TRUNC},
    {OS_OF_EXCL, O_EXCL},        {OS_OF_NOFOLLOW, O_NOFOLLOW}, {OS_OF_NONBLOCK, O_NONBLOCK},
    {OS_OF_SYNC, O_SYNC},        {OS_OF_DIRECTORY, O_DIRECTORY}, {OS_OF_CLOEXEC, O_CLOEXEC},
};

}  // namespace

int os_oflag_to_sys(uint32_t oflag) {
    int sys = O_RDONLY;  // 3 is no access mode: the least one is taken
    switch (oflag & OS_OF_ACCESS_MASK) {
    case 1: sys = O_WRONLY; break;
    case 2: sys = O_RDWR; break;
    default: break;
    }
    for (const auto& f : k_oflags)
        if (oflag & f.portable) sys |= f.sys;
    return sys;
}

uint32_t os_oflag_from_sys(int sysflags) {
    uint32_t oflag = 0;
    switch (sysflags & O_ACCMODE) {
    case O_WRONLY: oflag = 1; break;
    case O_RDWR: oflag = 2; break;
    default: break;
    }
    // O_SYNC includes O_DSYNC's bit on Linux: all of its bits must be set.
    for (const auto& f : k_oflags)
        if ((sysflags & f.sys) == f.sys) oflag |= f.portable;
    return oflag;
}

uint32_t os_oflag_to_pf(uint32_t oflag) {
    constexpr uint32_t k_access[] = {OS_PF_RDONLY, OS_PF_WRONLY, OS_PF_RDWR, 0};
    uint32_t pf = k_access[oflag & OS_OF_ACCESS_MASK];
    if (oflag & OS_OF_CREATE) pf |= OS_PF_CREATE;
    if (oflag & OS_OF_APPEND) pf |= OS_PF_APPEND;
    if (oflag & OS_OF_TRUNC) pf |= OS_PF_TRUNC;
    if (oflag & OS_OF_DIRECT) pf |= OS_PF_DIRECT;
    return pf;
}

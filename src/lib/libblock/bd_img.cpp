// Helpers of the read-only image drivers.
#include "libblock/bd_img.h"

#include <algorithm>
#include <cstring>

#include "libpal/network/url.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"

bool bd_img_local_path(const char* url, char* path, size_t size) {
    if (!url || !path || size == 0 || url_scheme_type(url) != URL_CLASS_FILE) return false;
    if (url_get_path(url, path, size) != 0) return false;
    path_normalize_local(path);
    return path[0] != 0;
}

void bd_img_not_supported(bd_dev* dev) { BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "%s", verr2str(VERR_NOT_SUPPORTED)); }

int64_t bd_img_read_pos(bd_dev* dev, int64_t off, uint64_t cur) {
    int64_t pos;
    if (off == -1) {
        pos = static_cast<int64_t>(cur);
    } else if (off < 0 || __builtin_add_overflow(off, static_cast<int64_t>(dev->vol.vol_start), &pos)) {
        pos = -1;
    }
    if (pos < 0) BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "read offset %lld out of range", static_cast<long long>(off));
    return pos;
}

int64_t bd_img_read_len(const bd_dev* dev, int64_t pos, int64_t len) {
    if (len <= 0 || pos >= dev->fsize) return 0;
    return std::min(len, dev->fsize - pos);
}

int64_t bd_img_size(const bd_dev* dev) {
    return dev->vol.vol_size != 0 ? static_cast<int64_t>(dev->vol.vol_size) : dev->fsize;
}

int bd_img_ioctl(bd_dev* dev, uint64_t* pos, const char* bd_type, int32_t cmd, void* arg, int64_t arglen) {
    uint64_t start = dev->vol.vol_start;
    switch (cmd) {
    case BLOCK_SEEK: {
        if (!arg || arglen < 8) break;
        int64_t to = *static_cast<int64_t*>(arg);
        if (to < 0) break;
        *pos = start + static_cast<uint64_t>(to);
        return 0;
    }
    case BLOCK_GET_PACK_TYPE:
        if (!arg || arglen < 4) break;
        *static_cast<int32_t*>(arg) = 0;
        return 0;
    case BLOCK_GET_VOL:
        if (!arg || arglen < static_cast<int64_t>(sizeof(bd_vol))) break;
        *static_cast<bd_vol*>(arg) = dev->vol;
        return 0;
    case BLOCK_GET_DRV_INFO: {
        if (!arg || arglen < static_cast<int64_t>(sizeof(os_file_info))) break;
        auto* fi = static_cast<os_file_info*>(arg);
        memset(fi, 0, sizeof *fi);
        fi->type = 6;
        fi->size = static_cast<uint64_t>(std::max<int64_t>(bd_img_size(dev), 0));
        fi->offset = *pos > start ? *pos - start : 0;
        fi->sector_size = static_cast<uint32_t>(dev->sector_size);
        str_sprintf_s(fi->description, sizeof fi->description, "bd_type=%s", bd_type);
        return 0;
    }
    default:
        bd_img_not_supported(dev);
        return -1;
    }
    BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
    return -1;
}

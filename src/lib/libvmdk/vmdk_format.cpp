// The VMDK on-disk records: geometry, sparse extent header and descriptor.
#include <cerrno>
#include <cstring>

#include "libpal/memory/random.h"
#include "libpal/os/os_file.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"
#include "libvmdk/vmdk_priv.h"

namespace {

constexpr uint8_t k_nl_chars[4] = {'\n', ' ', '\r', '\n'};

constexpr uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b ? 1 : 0); }

constexpr const char* k_descriptor =
    "# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\nCID=%08x\nparentCID=ffffffff\ncreateType=\"streamOptimized\"\n\n"
    "# Extent description\nRW %llu SPARSE \"%s\"\n\n# The Disk Data Base\n#DDB\n\n"
    "ddb.longContentID = \"%08x%08x%08x%08x\"\nddb.virtualHWVersion = \"4\"\nddb.geometry.cylinders = \"%u\"\n"
    "ddb.geometry.heads = \"255\"\nddb.geometry.sectors = \"63\"\nddb.adapterType = \"lsilogic\"\n"
    "ddb.toolsInstallType = \"4\"\nddb.toolsVersion = \"%s\"";

// A content id: never one of the two largest 32-bit values.
uint32_t random_cid() {
    uint32_t v;
    do {
        v = memory_random_u32();
    } while (v >= 0xfffffffeu);
    return v;
}

}  // namespace

int vmdk_calc_geometry(uint64_t capacity, uint64_t grain_size, uint32_t gtes_per_gt, vmdk_geometry* geo) {
    if (!geo || grain_size == 0 || gtes_per_gt == 0) return -1;
    *geo = vmdk_geometry{};
    geo->full_grains = capacity / grain_size;
    uint64_t rem = capacity % grain_size;
    geo->grains = geo->full_grains + (rem ? 1 : 0);
    geo->tables = ceil_div(geo->grains, gtes_per_gt);
    geo->table_sectors = ceil_div(4ull * gtes_per_gt, VMDK_SECTOR);
    uint64_t dir_bytes;
    if (__builtin_mul_overflow(geo->tables, 4ull, &dir_bytes)) return -1;
    geo->dir_sectors = ceil_div(dir_bytes, VMDK_SECTOR);
    uint64_t last;
    if (__builtin_mul_overflow(rem, static_cast<uint64_t>(VMDK_SECTOR), &last) || last > UINT32_MAX) return -1;
    geo->last_grain_bytes = static_cast<uint32_t>(last);
    return 0;
}

uint32_t vmdk_cylinders(uint64_t capacity) {
    if (capacity >= VMDK_MAX_CHS_SECTORS) return 65535;
    return static_cast<uint32_t>(ceil_div(capacity, 255ull * 63ull));
}

void vmdk_encode_header(const vmdk_ctx* h, bool complete, uint64_t done, uint8_t* out) {
    memset(out, 0, VMDK_HEADER_SIZE);
    memcpy(out + VMDK_H_MAGIC, complete ? "KDMV" : "kdmv", 4);
    mem_set_u32(0, out, VMDK_H_VERSION, h->version);
    mem_set_u32(0, out, VMDK_H_FLAGS, h->flags);
    mem_set_u64(0, out, VMDK_H_CAPACITY, h->capacity);
    mem_set_u64(0, out, VMDK_H_GRAIN_SIZE, h->grain_size);
    mem_set_u64(0, out, VMDK_H_DESC_OFFSET, h->desc_offset);
    mem_set_u64(0, out, VMDK_H_DESC_SIZE, h->desc_size);
    mem_set_u32(0, out, VMDK_H_GTES_PER_GT, h->gtes_per_gt);
    mem_set_u64(0, out, VMDK_H_RGD_OFFSET, h->rgd_offset);
    mem_set_u64(0, out, VMDK_H_GD_OFFSET, h->gd_offset);
    mem_set_u64(0, out, VMDK_H_OVERHEAD, h->overhead);
    out[VMDK_H_UNCLEAN] = h->unclean_shutdown;
    memcpy(out + VMDK_H_NL_CHARS, k_nl_chars, sizeof k_nl_chars);
    mem_set_u16(0, out, VMDK_H_COMPRESS, h->compress_algorithm);
    if (!complete) {
        mem_set_u64(0, out, VMDK_H_DONE, done);
        mem_set_u32(0, out, VMDK_H_NEXT_FREE, h->next_free);
        out[VMDK_H_PACK_LEVEL] = static_cast<uint8_t>(h->pack_level);
    }
}

int vmdk_decode_header(vmdk_ctx* h, const uint8_t* in) {
    if (memcmp(in, "KDMV", 4) == 0) h->complete = true;
    else if (memcmp(in, "kdmv", 4) == 0) h->complete = false;
    else return -1;
    h->version = mem_get_u32(0, in, VMDK_H_VERSION);
    h->flags = mem_get_u32(0, in, VMDK_H_FLAGS);
    if (h->version > VMDK_VERSION || h->flags > 0x3ffff) return -1;
    if ((h->flags & VMDK_FLAG_NL_TEST) && memcmp(in + VMDK_H_NL_CHARS, k_nl_chars, sizeof k_nl_chars) != 0) return -1;
    if ((h->flags & VMDK_FLAG_MARKERS) && !(h->flags & VMDK_FLAG_COMPRESSED)) return -1;
    h->capacity = mem_get_u64(0, in, VMDK_H_CAPACITY);
    h->grain_size = mem_get_u64(0, in, VMDK_H_GRAIN_SIZE);
    h->desc_offset = mem_get_u64(0, in, VMDK_H_DESC_OFFSET);
    h->desc_size = mem_get_u64(0, in, VMDK_H_DESC_SIZE);
    h->gtes_per_gt = mem_get_u32(0, in, VMDK_H_GTES_PER_GT);
    h->rgd_offset = mem_get_u64(0, in, VMDK_H_RGD_OFFSET);
    h->gd_offset = mem_get_u64(0, in, VMDK_H_GD_OFFSET);
    h->overhead = mem_get_u64(0, in, VMDK_H_OVERHEAD);
    h->unclean_shutdown = in[VMDK_H_UNCLEAN];
    h->compress_algorithm = mem_get_u16(0, in, VMDK_H_COMPRESS);
    h->resume_done = mem_get_u64(0, in, VMDK_H_DONE);
    h->resume_next_sector = mem_get_u32(0, in, VMDK_H_NEXT_FREE);
    h->resume_level = in[VMDK_H_PACK_LEVEL];
    return 0;
}

int vmdk_build_descriptor(const vmdk_ctx* h, uint8_t* out, size_t size) {
    memset(out, 0, size);
    uint32_t cid = random_cid();
    uint32_t c1 = random_cid(), c2 = random_cid(), c3 = random_cid();
    const char* name = path_get_name(h->path);
    int32_t n = str_sprintf_s(reinterpret_cast<char*>(out), size, k_descriptor, cid,
                              static_cast<unsigned long long>(h->capacity), name, c1, c2, c3, cid,
                              vmdk_cylinders(h->capacity), "2147483647");
    if (n < 0 || static_cast<size_t>(n) >= size) {
        memset(out, 0, size);
        return -1;
    }
    return 0;
}

int vmdk_safe_write(vmdk_ctx* h, const void* buf, size_t len, int64_t off) {
    errno = 0;
    int64_t n = os_file_pwrit(h->file, buf, len, off);
    if (n < 0) {
        VMDK_ERRNO(h);
        return -1;
    }
    if (static_cast<size_t>(n) < len) {
        int e = errno;
        LOG2(LOG2_ERR, VMDK_TAG, "Short write. Disk full?\n");
        if (e == 0) {
            VMDK_ERR(h, VERR_DISK_FULL, "%s", verr2str(VERR_DISK_FULL));
        } else {
            errno = e;
            VMDK_ERRNO(h);
        }
        return -1;
    }
    return 0;
}

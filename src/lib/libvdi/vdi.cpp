// The VDI reader: header checks at open, the lazily read block map, and
// reads and writes in pieces that never cross a block boundary.
#include "libvdi/vdi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"

namespace {

constexpr const char* k_tag = "vdi";
constexpr size_t k_page_bytes = VDI_PAGE_ENTRIES * 4;

// The image's integers are little-endian whatever the host.
uint32_t get_le32(const uint8_t* p) { return mem_get_u32(MEM_SWAP_LE, p, 0); }
uint64_t get_le64(const uint8_t* p) { return mem_get_u64(MEM_SWAP_LE, p, 0); }
void put_le32(uint8_t* p, uint32_t v) { mem_set_u32(MEM_SWAP_LE, p, 0, v); }

bool all_zero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// A call that failed without setting errno counts as EIO, with its text.
#define VDI_ERRNO(vdi) VERR_SET_ERRNO((vdi)->err, errno != 0 ? errno : EIO, VERR_GENERAL_FAILURE)

uint32_t page_count(uint32_t blocks) { return (blocks + VDI_PAGE_ENTRIES - 1) / VDI_PAGE_ENTRIES; }

bool bit(const uint8_t* bits, uint32_t i) { return (bits[i / 8] >> (i % 8)) & 1; }
void set_bit(uint8_t* bits, uint32_t i) { bits[i / 8] = static_cast<uint8_t>(bits[i / 8] | 1u << (i % 8)); }

// Entries of a page: a full page but the last, which holds the rest.
size_t page_entries(const vdi_ctx* vdi, uint32_t page) {
    return std::min<size_t>(vdi->blocks - static_cast<size_t>(page) * VDI_PAGE_ENTRIES, VDI_PAGE_ENTRIES);
}

void free_ctx(vdi_ctx* vdi) {
    if (vdi->file) os_file_close(vdi->file);
    pl_free(vdi->map);
    pl_free(vdi->page_bitmap);
    pl_free(vdi->dirty_bitmap);
    pl_free(vdi);
}

// The header's fields decoded, and checked so that the map lies in the file
// and every block offset and page read stays in range. 0, or -1 with the
// record filled.
int take_header(vdi_ctx* vdi, int64_t file_size) {
    const uint8_t* h = vdi->header;
    vdi->map_off = get_le32(h + VDI_OFF_MAP);
    vdi->data_off = get_le32(h + VDI_OFF_DATA);
    vdi->disk_size = get_le64(h + VDI_OFF_DISK_SIZE);
    vdi->block_size = get_le32(h + VDI_OFF_BLOCK_SIZE);
    vdi->blocks = get_le32(h + VDI_OFF_BLOCKS);
    vdi->allocated = get_le32(h + VDI_OFF_ALLOCATED);
    const char* why = nullptr;
    uint64_t map_end = static_cast<uint64_t>(vdi->map_off) + static_cast<uint64_t>(vdi->blocks) * 4;
    if (get_le32(h + VDI_OFF_IMAGE_TYPE) == VDI_TYPE_DIFF || !all_zero(h + VDI_OFF_UUID_LINK, 16) ||
        !all_zero(h + VDI_OFF_UUID_PARENT, 16))
        why = "a differencing image (its unwritten blocks belong to a parent image)";
    else if (get_le32(h + VDI_OFF_BLOCK_EXTRA) != 0)
        why = "extra data in front of each block";
    else if (vdi->block_size == 0)
        why = "block size 0";
    else if (vdi->blocks > VDI_MAX_BLOCKS)
        why = "too many blocks";
    else if (static_cast<uint64_t>(vdi->blocks) * vdi->block_size < vdi->disk_size)
        why = "the blocks do not cover the disk size";
    else if (vdi->map_off < VDI_HEADER_SIZE || vdi->data_off < VDI_HEADER_SIZE)
        why = "block map or data inside the header";
    else if (static_cast<int64_t>(map_end) > file_size)
        why = "the block map ends past the end of the file";
    else if (vdi->writable && (vdi->allocated > vdi->blocks || vdi->data_off < map_end))
        why = "allocated blocks or data offset out of range";
    if (!why) return 0;
    LOG2(LOG2_ERR, k_tag, "Invalid VDI header: %s.\n", why);
    VERR_SET(vdi->err, VERR_INVALID_FILE_HEAD, "Invalid VDI header: %s.", why);
    return -1;
}

// Reads the map page that holds block b unless it was read before.
int load_page(vdi_ctx* vdi, uint32_t b) {
    uint32_t page = b / VDI_PAGE_ENTRIES;
    if (bit(vdi->page_bitmap, page)) return 0;
    size_t first = static_cast<size_t>(page) * VDI_PAGE_ENTRIES;
    size_t bytes = page_entries(vdi, page) * 4;
    uint8_t raw[k_page_bytes];
    errno = 0;
    int64_t n = os_file_pread(vdi->file, raw, bytes, static_cast<int64_t>(vdi->map_off + first * 4));
    if (n < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, k_tag, "Error reading block map page %u: ", page);
        VDI_ERRNO(vdi);
        return -1;
    }
    if (static_cast<size_t>(n) != bytes) {
        LOG2(LOG2_ERR, k_tag, "Short read of block map page %u: %lld of %zu bytes.\n", page, static_cast<long long>(n),
             bytes);
        VERR_SET(vdi->err, VERR_INVALID_FILE_HEAD, "block map page %u is cut short", page);
        return -1;
    }
    for (size_t i = 0; i < bytes / 4; ++i) vdi->map[first + i] = get_le32(raw + i * 4);
    set_bit(vdi->page_bitmap, page);
    return 0;
}

// The pieces of a transfer: from the position to the end of its block, at
// most the bytes left.
uint64_t piece_len(const vdi_ctx* vdi, uint64_t left) {
    uint64_t in_block = vdi->pos % vdi->block_size;
    return std::min<uint64_t>(vdi->block_size - in_block, left);
}

// Bytes the transfer may move from the position: never past the disk size.
int64_t clamp_len(const vdi_ctx* vdi, int64_t len) {
    if (vdi->pos >= vdi->disk_size) return 0;
    return static_cast<int64_t>(std::min<uint64_t>(static_cast<uint64_t>(len), vdi->disk_size - vdi->pos));
}

int write_zeros(vdi_ctx* vdi, uint64_t off, uint64_t len) {
    static const uint8_t zeros[65536] = {};
    while (len > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(len, sizeof zeros));
        if (os_file_pwrit(vdi->file, zeros, n, static_cast<int64_t>(off)) != static_cast<int64_t>(n)) return -1;
        off += n;
        len -= n;
    }
    return 0;
}

// Gives the position's block a block of its own at the end of the data:
// zeros first unless the caller's piece fills it, the map entry, and the
// count of allocated blocks.
int allocate_block(vdi_ctx* vdi, bool whole) {
    uint32_t b = static_cast<uint32_t>(vdi->pos / vdi->block_size);
    if (vdi->allocated >= vdi->blocks) {
        VERR_SET(vdi->err, VERR_INVALID_FILE_HEAD, "no room for block %u: %u of %u blocks allocated", b,
                 vdi->allocated, vdi->blocks);
        return -1;
    }
    uint64_t off = vdi->data_off + static_cast<uint64_t>(vdi->allocated) * vdi->block_size;
    errno = 0;
    if (!whole && write_zeros(vdi, off, vdi->block_size) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, k_tag, "Error appending block %u: ", b);
        VDI_ERRNO(vdi);
        return -1;
    }
    vdi->map[b] = vdi->allocated++;
    put_le32(vdi->header + VDI_OFF_ALLOCATED, vdi->allocated);
    set_bit(vdi->dirty_bitmap, b / VDI_PAGE_ENTRIES);
    return 0;
}

// A writable image must have a map that writes cannot make worse: every
// stored block in a slot of its own below the allocated count, since a new
// block takes the slot at that count. The whole map is read for it. 0, or -1
// with the record filled.
int check_map(vdi_ctx* vdi) {
    for (uint32_t page = 0; page < page_count(vdi->blocks); ++page)
        if (load_page(vdi, page * VDI_PAGE_ENTRIES) != 0) return -1;
    std::unique_ptr<uint8_t, pl_mem_deleter> used(
        static_cast<uint8_t*>(pl_zalloc(static_cast<size_t>(vdi->allocated) / 8 + 1)));
    if (!used) {
        VERR_SET(vdi->err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return -1;
    }
    for (uint32_t b = 0; b < vdi->blocks; ++b) {
        uint32_t slot = vdi->map[b];
        if (slot >= VDI_BLOCK_DISCARDED) continue;
        if (slot >= vdi->allocated) {
            LOG2(LOG2_ERR, k_tag, "Invalid VDI block map: block %u names slot %u, not below the %u allocated blocks.\n", b,
                 slot, vdi->allocated);
            VERR_SET(vdi->err, VERR_INVALID_FILE_HEAD,
                     "Invalid VDI block map: block %u names slot %u, not below the %u allocated blocks.", b, slot,
                     vdi->allocated);
            return -1;
        }
        if (bit(used.get(), slot)) {
            LOG2(LOG2_ERR, k_tag, "Invalid VDI block map: block %u names slot %u, which another block holds.\n", b, slot);
            VERR_SET(vdi->err, VERR_INVALID_FILE_HEAD,
                     "Invalid VDI block map: block %u names slot %u, which another block holds.", b, slot);
            return -1;
        }
        set_bit(used.get(), slot);
    }
    return 0;
}

}  // namespace

vdi_ctx* vdi_open(const char* path, uint32_t oflag, verr_info* err) {
    auto* vdi = static_cast<vdi_ctx*>(pl_zalloc(sizeof(vdi_ctx)));
    if (!vdi) {
        VERR_SET(err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    vdi->err = err ? err : &vdi->own_err;
    vdi->writable = (oflag & (OS_PF_WRONLY | OS_PF_RDWR)) != 0;
    errno = 0;
    vdi->file = path ? os_file_open(path, oflag) : nullptr;
    if (!vdi->file) {
        LOG2(LOG2_ERR | LOG2_ERRNO, k_tag, "Error opening file.\n");
        VDI_ERRNO(vdi);
        free_ctx(vdi);
        return nullptr;
    }
    int64_t n = os_file_pread(vdi->file, vdi->header, VDI_HEADER_SIZE, 0);
    if (n != static_cast<int64_t>(VDI_HEADER_SIZE) || get_le32(vdi->header + VDI_OFF_SIGNATURE) != VDI_SIGNATURE) {
        LOG2(LOG2_ERR, k_tag, "Unexpected header size or the magic number has lost its magic.\n");
        VERR_SET(vdi->err, VERR_INVALID_FILE_HEAD, "Unexpected header size or the magic number has lost its magic.");
        free_ctx(vdi);
        return nullptr;
    }
    int64_t file_size = os_file_size(vdi->file);
    if (file_size < 0) {
        VDI_ERRNO(vdi);
        free_ctx(vdi);
        return nullptr;
    }
    if (take_header(vdi, file_size) != 0) {
        free_ctx(vdi);
        return nullptr;
    }
    // One spare entry keeps an image without blocks from asking for 0 bytes.
    vdi->map = static_cast<uint32_t*>(pl_zalloc((static_cast<size_t>(vdi->blocks) + 1) * 4));
    if (!vdi->map) {
        LOG2(LOG2_ERR, k_tag, "Error allocating pageMap.\n");
        VERR_SET(vdi->err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        free_ctx(vdi);
        return nullptr;
    }
    size_t bitmap_bytes = (static_cast<size_t>(vdi->blocks) + 8191) / 8192 + 1;
    vdi->page_bitmap = static_cast<uint8_t*>(pl_zalloc(bitmap_bytes));
    if (!vdi->page_bitmap) {
        LOG2(LOG2_ERR, k_tag, "Error allocating pageBitmap.\n");
        VERR_SET(vdi->err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        free_ctx(vdi);
        return nullptr;
    }
    vdi->dirty_bitmap = static_cast<uint8_t*>(pl_zalloc(bitmap_bytes));
    if (!vdi->dirty_bitmap) {
        LOG2(LOG2_ERR, k_tag, "Error allocating dirtyBitmap.\n");
        VERR_SET(vdi->err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        free_ctx(vdi);
        return nullptr;
    }
    if (vdi->writable && check_map(vdi) != 0) {
        free_ctx(vdi);
        return nullptr;
    }
    vdi->pos = 0;
    return vdi;
}

int vdi_close(vdi_ctx* vdi) {
    if (!vdi) return -1;
    int rc = 0;
    bool wrote = false;
    for (uint32_t page = 0; page < page_count(vdi->blocks); ++page) {
        if (!bit(vdi->dirty_bitmap, page)) continue;
        uint8_t raw[k_page_bytes];
        size_t entries = page_entries(vdi, page);
        size_t first = static_cast<size_t>(page) * VDI_PAGE_ENTRIES;
        for (size_t i = 0; i < entries; ++i) put_le32(raw + i * 4, vdi->map[first + i]);
        int64_t off = static_cast<int64_t>(vdi->map_off + first * 4);
        if (os_file_pwrit(vdi->file, raw, entries * 4, off) != static_cast<int64_t>(entries * 4)) {
            LOG2(LOG2_ERR | LOG2_ERRNO, k_tag, "Error writing block map page %u: ", page);
            VDI_ERRNO(vdi);
            rc = -1;
        }
        wrote = true;
    }
    if (wrote && os_file_pwrit(vdi->file, vdi->header, VDI_HEADER_SIZE, 0) != static_cast<int64_t>(VDI_HEADER_SIZE)) {
        LOG2(LOG2_ERR | LOG2_ERRNO, k_tag, "Error writing the header: ");
        VDI_ERRNO(vdi);
        rc = -1;
    }
    free_ctx(vdi);
    return rc;
}

int64_t vdi_size(const vdi_ctx* vdi) { return vdi ? static_cast<int64_t>(vdi->disk_size) : -1; }

int64_t vdi_seek(vdi_ctx* vdi, int64_t off, int whence) {
    if (!vdi) return -1;
    int64_t base = 0;
    switch (whence) {
    case 0: base = 0; break;
    case 1: base = static_cast<int64_t>(vdi->pos); break;
    case 2: base = static_cast<int64_t>(vdi->disk_size); break;
    default: return -1;
    }
    int64_t to;
    if (__builtin_add_overflow(base, off, &to) || to < 0 || static_cast<uint64_t>(to) >= vdi->disk_size) return -1;
    vdi->pos = static_cast<uint64_t>(to);
    return to;
}

int64_t vdi_lookup(vdi_ctx* vdi) {
    if (!vdi) return -1;
    if (vdi->pos >= vdi->disk_size) return 0;
    uint32_t b = static_cast<uint32_t>(vdi->pos / vdi->block_size);
    if (load_page(vdi, b) != 0) return -1;
    uint32_t entry = vdi->map[b];
    if (entry >= VDI_BLOCK_DISCARDED) return 0;
    // Each block is stored once, so no entry can reach the number of blocks;
    // the bound also keeps the offset far inside 64 bits.
    if (entry >= vdi->blocks) {
        LOG2(LOG2_ERR, k_tag, "Block map entry 0x%x of block %u is out of range.\n", entry, b);
        VERR_SET(vdi->err, VERR_INVALID_FILE_HEAD, "block map entry 0x%x of block %u is out of range", entry, b);
        return -1;
    }
    uint64_t start = static_cast<uint64_t>(b) * vdi->block_size;
    return static_cast<int64_t>(vdi->data_off + static_cast<uint64_t>(entry) * vdi->block_size + (vdi->pos - start));
}

int64_t vdi_read(vdi_ctx* vdi, void* buf, int64_t len) {
    if (!vdi || (!buf && len > 0) || len < 0) {
        if (vdi) VERR_SET(vdi->err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return -1;
    }
    auto* out = static_cast<uint8_t*>(buf);
    uint64_t left = static_cast<uint64_t>(clamp_len(vdi, len));
    int64_t done = 0;
    while (left > 0) {
        uint64_t n = piece_len(vdi, left);
        int64_t at = vdi_lookup(vdi);
        if (at < 0) return -1;
        if (at == 0) {
            memset(out + done, 0, n);
        } else {
            errno = 0;
            int64_t got = os_file_pread(vdi->file, out + done, n, at);
            if (got < 0) {
                LOG2(LOG2_ERR | LOG2_ERRNO, k_tag, "Error reading %llu bytes at %lld: ",
                     static_cast<unsigned long long>(n), static_cast<long long>(at));
                VDI_ERRNO(vdi);
                return -1;
            }
            if (static_cast<uint64_t>(got) < n) {
                if (!vdi->warned_short) {
                    LOG2(LOG2_WARN, k_tag,
                         "The image ends inside block data at %lld: the missing bytes read as zeros.\n",
                         static_cast<long long>(at + got));
                    vdi->warned_short = 1;
                }
                memset(out + done + got, 0, n - static_cast<uint64_t>(got));
            }
        }
        vdi->pos += n;
        done += static_cast<int64_t>(n);
        left -= n;
    }
    return done;
}

int64_t vdi_write(vdi_ctx* vdi, const void* buf, int64_t len) {
    if (!vdi || (!buf && len > 0) || len < 0) {
        if (vdi) VERR_SET(vdi->err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return -1;
    }
    if (!vdi->writable) {
        VERR_SET(vdi->err, VERR_WRITE_PROTECT, "%s", verr2str(VERR_WRITE_PROTECT));
        return -1;
    }
    auto* in = static_cast<const uint8_t*>(buf);
    uint64_t left = static_cast<uint64_t>(clamp_len(vdi, len));
    int64_t done = 0;
    while (left > 0) {
        uint64_t n = piece_len(vdi, left);
        int64_t at = vdi_lookup(vdi);
        if (at < 0) return -1;
        if (at == 0) {
            if (allocate_block(vdi, n == vdi->block_size) != 0) return -1;
            at = vdi_lookup(vdi);
            if (at <= 0) return -1;
        }
        errno = 0;
        if (os_file_pwrit(vdi->file, in + done, n, at) != static_cast<int64_t>(n)) {
            LOG2(LOG2_ERR | LOG2_ERRNO, k_tag, "Error writing %llu bytes at %lld: ", static_cast<unsigned long long>(n),
                 static_cast<long long>(at));
            VDI_ERRNO(vdi);
            return -1;
        }
        vdi->pos += n;
        done += static_cast<int64_t>(n);
        left -= n;
    }
    return done;
}

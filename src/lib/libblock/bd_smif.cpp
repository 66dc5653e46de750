// The "smif" driver: images read through the image libraries, read-only.
#include "libblock/bd_smif.h"

#include <cctype>
#include <cstring>

#include "libblock/bd.h"
#include "libblock/bd_img.h"
#include "libblock/bd_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"

namespace {

// The libraries' read access.
constexpr int k_access_read = 1;
// The glob guesses the EWF format from the name.
constexpr uint8_t k_ewf_format_any = 0;

uint8_t g_state;  // 0 not tried, 1 loaded, 2 failed

struct smif_handle {
    void* lib;
    const smif_module* module;
    uint64_t pos;  // absolute: the window start included
    uint32_t bytes_per_sector;  // the unit of the library's checksum error ranges
};

// The error object of one library call; each new call, and the end of the
// scope, frees the previous one.
struct lib_error {
    const smif_module* m;
    void* e = nullptr;
    explicit lib_error(const smif_module* module) : m(module) {}
    ~lib_error() { reset(); }
    lib_error(const lib_error&) = delete;
    lib_error& operator=(const lib_error&) = delete;
    void reset() {
        if (e && m->error_free) m->error_free(&e);
        e = nullptr;
    }
    void** out() {
        reset();
        return &e;
    }
};

// A library failure into the device's record: the backtrace to the log, and
// code -1 with the library's message after its first ":" (what when the
// library gives no message).
void report(bd_dev* dev, const smif_module* m, void* e, const char* what) {
    if (e && m->error_backtrace_sprint) {
        char trace[8192] = "";
        if (m->error_backtrace_sprint(e, trace, sizeof trace) > 0) {
            trace[sizeof trace - 1] = 0;
            LOG2(LOG2_DBG, "block2", "%s\n", trace);
        }
    }
    char text[4096] = "";
    if (!e || !m->error_sprint || m->error_sprint(e, text, sizeof text) <= 0) text[0] = 0;
    text[sizeof text - 1] = 0;
    const char* colon = strchr(text, ':');
    const char* shown = colon ? colon + 1 : text;
    while (*shown == ' ') ++shown;
    if (!*shown) shown = what;
    BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "%s", shown);
}

// The names of every kind, whether or not its library is installed.
constexpr const char* k_suffixes = ".000;.001;.vmdk;.vhd;.vhdx;.s01;.e01;.ex01;.l01;.lx01;.qcow;.qcow2;.qcow3";

int smif_probe(const char* url, uint32_t, void*) { return url_local_path_ends_with(url, k_suffixes) ? 0 : -1; }

// Opens the library's handle on the path (the whole set of files for split
// raw and EWF); the log text of the failed step, or nothing.
const char* open_lib(const smif_module* m, void* lib, const char* path, lib_error& err) {
    if (m->id == SMIF_SMRAW || m->id == SMIF_EWF) {
        char** names = nullptr;
        int count = 0;
        bool ewf = m->id == SMIF_EWF;
        int rc = ewf ? m->glob_format(path, strlen(path), k_ewf_format_any, &names, &count, err.out())
                     : m->glob(path, strlen(path), &names, &count, err.out());
        if (rc != 1) return ewf ? "ewf_glob failed\n" : "smraw_glob failed\n";
        rc = m->open_list(lib, names, count, k_access_read, err.out());
        lib_error free_err(m);
        m->glob_free(names, count, free_err.out());
        return rc == 1 ? nullptr : "handle_glob_open failed\n";
    }
    return m->open(lib, path, k_access_read, err.out()) == 1 ? nullptr : "handle_open failed\n";
}

void* smif_open(const char* url, bd_open_ctx* ctx) {
    bd_dev* dev = ctx->dev;
    if ((ctx->oflag & OS_PF_ACCESS_MASK) != OS_PF_RDONLY) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "Only read-only operations are supported");
        return nullptr;
    }
    if (g_state == 2) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "libyal init failed\n");
        return nullptr;
    }
    char path[URL_PART_SIZE];
    if (!bd_img_local_path(url, path, sizeof path)) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }
    const smif_module* m = smif_module_find(path);
    if (!m) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "libyal drv init failed\n");
        return nullptr;
    }
    auto* h = static_cast<smif_handle*>(pl_zalloc(sizeof(smif_handle)));
    if (!h) {
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    h->module = m;
    lib_error err(m);
    const char* failed = nullptr;
    bool opened = false;
    uint64_t size = 0;
    if (m->initialize(&h->lib, err.out()) != 1 || !h->lib) {
        failed = "handle_init failed\n";
    } else if ((failed = open_lib(m, h->lib, path, err)) == nullptr) {
        opened = true;
        if (m->get_media_size(h->lib, &size, err.out()) != 1) {
            failed = "handle_msize failed\n";
        } else if (size > static_cast<uint64_t>(INT64_MAX)) {
            err.reset();
            failed = "handle_msize failed\n";
        } else if (m->id == SMIF_VMDK) {
            if (m->open_extent_data_files(h->lib, err.out()) != 1) failed = "handle_openex failed\n";
        } else if (m->id != SMIF_SMRAW && m->get_bytes_per_sector) {
            uint32_t bps = 0;
            if (m->get_bytes_per_sector(h->lib, &bps, err.out()) != 1)
                failed = "handle_byte_sector failed\n";
            else
                dev->sector_size = static_cast<int32_t>(bps);
            h->bytes_per_sector = bps;
        }
    }
    if (failed) {
        LOG2(LOG2_DBG, "block2", "%s", failed);
        // The step's name without its line break stands in for a library without a message.
        char what[64];
        size_t n = strcspn(failed, "\n");
        memcpy(what, failed, n);
        what[n] = 0;
        report(dev, m, err.e, what);
        if (h->lib) {
            lib_error ignored(m);
            // A handle that never opened is only freed.
            if (opened) m->close(h->lib, ignored.out());
            m->free(&h->lib, ignored.out());
        }
        pl_free(h);
        return nullptr;
    }
    dev->fsize = static_cast<int64_t>(size);
    h->pos = dev->vol.vol_start;
    return h;
}

int smif_close(void* handle) {
    auto* h = static_cast<smif_handle*>(handle);
    const smif_module* m = h->module;
    if (h->lib) {
        lib_error ignored(m);
        m->close(h->lib, ignored.out());
        m->free(&h->lib, ignored.out());
    }
    pl_free(h);
    return 0;
}

// A read that the library delivered although part of it failed its stored
// checksum: the range is damaged data, a media error for the caller. 0 when
// the range [pos, pos + len) is clean.
int check_damage(bd_dev* dev, const smif_handle* h, int64_t pos, int64_t len) {
    const smif_module* m = h->module;
    if (!m->get_number_of_checksum_errors || len <= 0) return 0;
    lib_error err(m);
    uint32_t count = 0;
    if (m->get_number_of_checksum_errors(h->lib, &count, err.out()) != 1) count = 0;
    uint64_t unit = h->bytes_per_sector ? h->bytes_per_sector : 512;
    uint64_t from = static_cast<uint64_t>(pos);
    uint64_t to = from + static_cast<uint64_t>(len);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t start = 0;
        uint64_t sectors = 0;
        if (m->get_checksum_error(h->lib, i, &start, &sectors, err.out()) != 1) continue;
        uint64_t a = start * unit;
        uint64_t b = a + sectors * unit;
        if (a < to && b > from) {
            BD_SET_ERR(dev, VERR_DEV_IO_CRC, "damaged image data: %llu sectors from sector %llu fail their checksum",
                       static_cast<unsigned long long>(sectors), static_cast<unsigned long long>(start));
            return -1;
        }
    }
    return 0;
}

int64_t smif_read(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len) {
    auto* h = static_cast<smif_handle*>(handle);
    int64_t pos = bd_img_read_pos(dev, off, h->pos);
    if (pos < 0) return -1;
    // Never past the media's end: the libraries differ in what they do there.
    int64_t n = bd_img_read_len(dev, pos, len);
    if (n == 0) return 0;
    const smif_module* m = h->module;
    lib_error err(m);
    ssize_t got = m->read_buffer_at_offset(h->lib, buf, static_cast<size_t>(n), pos, err.out());
    if (got < 0 || got > n) {
        report(dev, m, err.e, "read failed");
        return -1;
    }
    if (check_damage(dev, h, pos, got) != 0) return -1;
    h->pos = static_cast<uint64_t>(pos + got);
    return got;
}

int64_t smif_write(bd_dev* dev, void*, int64_t, const void*, int64_t) {
    bd_img_not_supported(dev);
    return -1;
}

int64_t smif_size(bd_dev* dev, void*) { return bd_img_size(dev); }

int smif_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen) {
    auto* h = static_cast<smif_handle*>(handle);
    return bd_img_ioctl(dev, &h->pos, h->module->name, cmd, arg, arglen);
}

bd_drv g_smif_drv = {
    BD_DRV_SMIF, nullptr, "smif", "", 0, &smif_probe, &smif_open, &smif_close, &smif_read, nullptr,
    &smif_write, nullptr, &smif_size, &smif_ioctl,
};

}  // namespace

bd_drv* bdrv_smif_register() {
    if (g_state == 0) g_state = libyal_smif_init() == 0 ? 1 : 2;
    bd_drv_add(&g_smif_drv);
    return &g_smif_drv;
}

void bdrv_smif_exit() {}

int bdrv_smif_reload(const char* const files[SMIF_MODULES]) {
    smif_module_clear();
    int rc = libyal_smif_init_files(files);
    g_state = rc == 0 ? 1 : 2;
    return rc;
}

uint8_t bdrv_smif_state() { return g_state; }

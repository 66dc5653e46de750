// The "aff4" driver: AFF4 images through the AFF4 library, read-only.
#include "libblock/bd_aff4.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <string>

#include "libblock/bd.h"
#include "libaff4/aff4_api.h"
#include "libblock/bd_img.h"
#include "libblock/bd_priv.h"
#include "libpal/env/os_dl.h"
#include "libpal/env/pl_env.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"

namespace {

// The library's file names in the order they are tried, each first beside
// the executable, then on the loader's search path: the Linux names, then the
// name the library has on Windows.
constexpr const char* k_lib_names[] = {"libaff4.so", "libaff4.so.0", "libaff4.dll"};
// The library reads with a 32-bit length: larger reads go in pieces.
constexpr int64_t k_max_piece = 1 << 30;

struct aff4_lib {
    std::mutex lock;
    uint8_t state = 0;      // 0 not tried, 1 loaded, 2 failed
    const char* file = nullptr;  // set by the tests: the only file tried
    aff4_version_fn version = nullptr;
    aff4_init_fn init = nullptr;
    aff4_open_fn open = nullptr;
    aff4_object_size_fn object_size = nullptr;
    aff4_read_fn read = nullptr;
    aff4_close_fn close = nullptr;
    aff4_last_error_fn last_error = nullptr;  // optional
};

aff4_lib g_lib;

struct aff4_handle {
    uint32_t h;
    uint64_t pos;  // absolute: the window start included
};

template <typename Fn>
bool take(void* dl, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(os_dlsym(dl, name));
    if (!slot) LOG2(LOG2_DBG, "block2", "os_dlsym %s failed\n", name);
    return slot != nullptr;
}

// One try of the loader: the library, or nothing (logged at level dbg with
// the loader's reason).
void* try_open(const char* file) {
    void* dl = os_dlopen2(file);
    if (dl) {
        LOG2(LOG2_DBG, "block2", "loaded %s\n", file);
        return dl;
    }
    const char* why = os_dlerror();
    LOG2(LOG2_DBG, "block2", "os_dlopen2 %s error: %s\n", file, why ? why : "");
    return nullptr;
}

// The first of the library's names that loads, beside the executable before
// the search path; nothing (logged at level err with the names tried) when
// none does.
void* open_library() {
    if (g_lib.file) {
        void* dl = try_open(g_lib.file);
        if (!dl) LOG2(LOG2_ERR, "block2", "AFF4 library not loaded: tried %s\n", g_lib.file);
        return dl;
    }
    char dir[4096];
    if (os_exe_get_dir(dir, sizeof dir) != 0) dir[0] = 0;
    for (const char* name : k_lib_names) {
        if (dir[0]) {
            std::string beside = std::string(dir) + "/" + name;
            if (void* dl = try_open(beside.c_str())) return dl;
        }
        if (void* dl = try_open(name)) return dl;
    }
    LOG2(LOG2_ERR, "block2",
         "AFF4 library not loaded: tried libaff4.so, libaff4.so.0 and libaff4.dll in %s and on the library "
         "search path\n",
         dir[0] ? dir : "(the executable's directory is unknown)");
    return nullptr;
}

// Loads the library and takes its entry points: 0, or -1 (logged).
int load_library() {
    void* dl = open_library();
    if (!dl) return -1;
    if (!take(dl, "AFF4_version", g_lib.version)) return -1;
    const char* v = g_lib.version();
    LOG2(LOG2_DBG, "block2", "aff4_version=[%s]\n", v ? v : "");
    if (!take(dl, "AFF4_init", g_lib.init)) return -1;
    g_lib.init();
    if (!take(dl, "AFF4_open", g_lib.open) || !take(dl, "AFF4_close", g_lib.close) ||
        !take(dl, "AFF4_object_size", g_lib.object_size) || !take(dl, "AFF4_read", g_lib.read))
        return -1;
    // Not every library has it: without it a failure has the errno text only.
    g_lib.last_error = reinterpret_cast<aff4_last_error_fn>(os_dlsym(dl, "AFF4_last_error"));
    LOG2(LOG2_DBG, "block2", "<==\n");
    return 0;
}

// The library's state after the first open's load; a failed load is not
// tried again.
uint8_t libaff4_init() {
    std::lock_guard<std::mutex> guard(g_lib.lock);
    if (g_lib.state == 0) {
        g_lib.state = 1;
        if (load_library() != 0) g_lib.state = 2;
    }
    return g_lib.state;
}

// The device's record from errno after a failed library call, with the
// library's own text of the failure after the errno text where it has one;
// a library that failed without setting errno still gives a failure.
void errno_err(bd_dev* dev, int e, const char* call) {
    const char* why = g_lib.last_error ? g_lib.last_error() : nullptr;
    if (e == 0) {
        if (why && *why) BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "%s failed: %s", call, why);
        else BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "%s failed", call);
        return;
    }
    VERR_SET_ERRNO(&dev->verr, e, VERR_GENERAL_FAILURE);
    if (why && *why) {
        char text[256];
        BD_SET_ERR(dev, dev->verr.code, "%s: %s", os_strerror_r(e, text, sizeof text), why);
    }
}

int aff4_probe(const char* url, uint32_t, void*) { return bd_img_local_suffix(url, ".aff4") ? 0 : -1; }

void* aff4_open(const char* url, bd_open_ctx* ctx) {
    bd_dev* dev = ctx->dev;
    LOG2(LOG2_DBG, "block2", "==>\n");
    if ((ctx->oflag & OS_PF_ACCESS_MASK) != OS_PF_RDONLY) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "Only read-only operations are supported");
        return nullptr;
    }
    if (libaff4_init() == 2) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "libaff4 init failed\n");
        return nullptr;
    }
    char path[URL_PART_SIZE];
    if (!bd_img_local_path(url, path, sizeof path)) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }
    errno = 0;
    int h = g_lib.open(path);
    int e = errno;
    LOG2(LOG2_DBG, "block2", "open [%s] h=%d errno=%d\n", path, h, e);
    if (h < 0) {
        errno_err(dev, e, "AFF4_open");
        return nullptr;
    }
    uint64_t size = g_lib.object_size(h);
    if (size > static_cast<uint64_t>(INT64_MAX)) {
        BD_SET_ERR(dev, VERR_INVALID_FILE_HEAD, "AFF4_object_size gave %llu bytes",
                   static_cast<unsigned long long>(size));
        g_lib.close(h);
        return nullptr;
    }
    auto* ah = static_cast<aff4_handle*>(pl_zalloc(sizeof(aff4_handle)));
    if (!ah) {
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        g_lib.close(h);
        return nullptr;
    }
    ah->h = static_cast<uint32_t>(h);
    ah->pos = dev->vol.vol_start;
    dev->fsize = static_cast<int64_t>(size);
    return ah;
}

int aff4_close(void* handle) {
    auto* ah = static_cast<aff4_handle*>(handle);
    g_lib.close(static_cast<int>(ah->h));
    pl_free(ah);
    return 0;
}

int64_t aff4_read(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len) {
    auto* ah = static_cast<aff4_handle*>(handle);
    int64_t pos = bd_img_read_pos(dev, off, ah->pos);
    if (pos < 0) return -1;
    int64_t want = bd_img_read_len(dev, pos, len);
    auto* out = static_cast<char*>(buf);
    int64_t done = 0;
    while (done < want) {
        int piece = static_cast<int>(std::min(want - done, k_max_piece));
        errno = 0;
        int n = g_lib.read(static_cast<int>(ah->h), static_cast<uint64_t>(pos + done), out + done, piece);
        int e = errno;
        if (n < 0) {
            errno_err(dev, e, "AFF4_read");
            return -1;
        }
        if (n > piece) {
            BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "AFF4_read gave %d bytes for %d", n, piece);
            return -1;
        }
        if (n == 0) break;  // the stream ended before its size
        done += n;
    }
    ah->pos = static_cast<uint64_t>(pos + done);
    return done;
}

int64_t aff4_size(bd_dev* dev, void*) { return bd_img_size(dev); }

int aff4_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen) {
    return bd_img_ioctl(dev, &static_cast<aff4_handle*>(handle)->pos, "aff4", cmd, arg, arglen);
}

// No write slot: the block layer refuses writes.
bd_drv g_aff4_drv = {
    BD_DRV_AFF4, nullptr, "aff4", "", 0, &aff4_probe, &aff4_open, &aff4_close, &aff4_read, nullptr,
    nullptr, nullptr, &aff4_size, &aff4_ioctl,
};

}  // namespace

bd_drv* bdrv_aff4_register() {
    bd_drv_add(&g_aff4_drv);
    return &g_aff4_drv;
}

void bdrv_aff4_exit() {}

void bdrv_aff4_set_library(const char* file) {
    std::lock_guard<std::mutex> guard(g_lib.lock);
    g_lib.state = 0;
    g_lib.file = file;
}

uint8_t bdrv_aff4_state() {
    std::lock_guard<std::mutex> guard(g_lib.lock);
    return g_lib.state;
}

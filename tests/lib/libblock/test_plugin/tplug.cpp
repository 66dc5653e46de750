// A disk plugin for the tests: names ending in TPLUG_EXT are local files.
// Query keys of the name: fixed=1 (a device of fixed size), sector=N (its
// sector size), fail_write=E and fail_sync=E (those calls fail with errno E).
// A name holding "openfail" fails to open with an unterminated error text.
// Built in variants without kx_disk_plug_sync or without kx_disk_plug_fsize.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libblock/kx_disk_plug.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const kx_disk_plug_host* g_host;

struct tdev {
    int fd;
    int fixed;
    int64_t size;
    uint32_t sector;
    int fail_write;
    int fail_sync;
    int last_errno;
};

std::string path_of(const char* url) {
    std::string s(url);
    size_t q = s.find('?');
    return q == std::string::npos ? s : s.substr(0, q);
}

int query_int(const char* url, const char* key, int def) {
    const char* q = strchr(url, '?');
    if (!q) return def;
    std::string k = std::string(key) + "=";
    for (const char* p = q + 1; p && *p;) {
        if (strncmp(p, k.c_str(), k.size()) == 0) return atoi(p + k.size());
        p = strchr(p, '&');
        if (p) ++p;
    }
    return def;
}

}  // namespace

EXPORT const char* kx_disk_plug_name(void) { return TPLUG_NAME; }
EXPORT const char* kx_disk_plug_version(void) { return "1.0.0"; }
EXPORT const char* kx_disk_plug_support_exts(void) { return "Test Images(*" TPLUG_EXT ")|*" TPLUG_EXT; }
EXPORT uint32_t kx_disk_plug_support_open(void) { return KX_DISK_PLUG_OPEN_RW; }

EXPORT int kx_disk_plug_init(const kx_disk_plug_host* host) {
    g_host = host;
    if (host && host->size >= sizeof(kx_disk_plug_host) && host->log)
        host->log(7, "tplug", __FILE__, __LINE__, __func__, 0, "%s init host_size=%llu\n", TPLUG_NAME,
                  static_cast<unsigned long long>(host->size));
    return 0;
}

EXPORT int kx_disk_plug_probe(const char* url, uint32_t, void*) {
    std::string p = path_of(url);
    std::string ext = TPLUG_EXT;
    return p.size() > ext.size() && p.compare(p.size() - ext.size(), ext.size(), ext) == 0 ? 0 : -1;
}

EXPORT void* kx_disk_plug_open(const char* url, uint32_t oflag, char* err_text) {
    std::string p = path_of(url);
    if (p.find("openfail") != std::string::npos) {
        memset(err_text, 'E', KX_DISK_PLUG_ERR_SIZE);  // deliberately not terminated
        return nullptr;
    }
    int fd = open(p.c_str(), (oflag & 1) ? O_RDONLY : (O_RDWR | O_CREAT), 0644);
    if (fd < 0) {
        snprintf(err_text, KX_DISK_PLUG_ERR_SIZE, "open %s: %s", p.c_str(), strerror(errno));
        return nullptr;
    }
    auto* d = new tdev{};
    d->fd = fd;
    d->fixed = query_int(url, "fixed", 0);
    d->sector = static_cast<uint32_t>(query_int(url, "sector", 512));
    d->fail_write = query_int(url, "fail_write", 0);
    d->fail_sync = query_int(url, "fail_sync", 0);
    struct stat st {};
    fstat(fd, &st);
    d->size = st.st_size;
    return d;
}

EXPORT int kx_disk_plug_close(void* h) {
    auto* d = static_cast<tdev*>(h);
    close(d->fd);
    delete d;
    return 0;
}

EXPORT int kx_disk_plug_last_errno(void* h) { return static_cast<tdev*>(h)->last_errno; }

#ifndef TPLUG_NO_FSIZE
EXPORT int64_t kx_disk_plug_fsize(void* h) { return static_cast<tdev*>(h)->size; }
#endif

EXPORT uint32_t kx_disk_plug_sector_size(void* h) { return static_cast<tdev*>(h)->sector; }
EXPORT int kx_disk_plug_is_fixed_size(void* h) { return static_cast<tdev*>(h)->fixed; }

EXPORT int64_t kx_disk_plug_pread(void* h, void* buf, int64_t len, int64_t off) {
    auto* d = static_cast<tdev*>(h);
    ssize_t n = pread(d->fd, buf, static_cast<size_t>(len), off);
    if (n < 0) d->last_errno = errno;
    return n;
}

EXPORT int64_t kx_disk_plug_pwrite(void* h, const void* buf, int64_t len, int64_t off) {
    auto* d = static_cast<tdev*>(h);
    if (d->fail_write) {
        d->last_errno = d->fail_write;
        return -1;
    }
    ssize_t n = pwrite(d->fd, buf, static_cast<size_t>(len), off);
    if (n < 0) d->last_errno = errno;
    return n;
}

#ifndef TPLUG_NO_SYNC
EXPORT int kx_disk_plug_sync(void* h) {
    auto* d = static_cast<tdev*>(h);
    if (d->fail_sync) {
        d->last_errno = d->fail_sync;
        return -1;
    }
    return fsync(d->fd);
}
#endif

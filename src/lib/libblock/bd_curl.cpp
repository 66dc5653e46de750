// The "curl" driver: "http://", "https://", "ftp://" and "ftps://" URLs
// read as read-only devices through the transfer library's easy interface.
// The size comes from a probe transfer; every read is one ranged request
// into the caller's buffer.
#include <cstring>
#include <memory>

#include "libblock/bd.h"
#include "libblock/bd_curl_priv.h"
#include "libblock/bd_img.h"
#include "libblock/bd_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr uint32_t k_connect_timeout = 6;
constexpr uint32_t k_read_timeout = 15;

void free_text(char** field) {
    if (*field) {
        memset(*field, 0, strlen(*field));
        pl_free(*field);
        *field = nullptr;
    }
}

void free_handle(bd_curl_handle* h) {
    if (h->curl) g_curl.easy_cleanup(h->curl);
    free_text(&h->cookie);
    free_text(&h->user);
    free_text(&h->password);
    free_text(&h->ftpport);
    memset(&h->proxy, 0, sizeof h->proxy);
    pl_free(h);
}

int bdrv_curl_probe(const char* url, uint32_t, void*) { return curl_proto_code(url) > 0 ? 0 : 1; }

void* bdrv_curl_open(const char* url, bd_open_ctx* ctx) {
    bd_dev* dev = ctx->dev;
    if ((ctx->oflag & OS_PF_ACCESS_MASK) != OS_PF_RDONLY) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "Only read-only operations are supported");
        return nullptr;
    }
    if (curl_lib_start(dev) != 0) return nullptr;
    auto* h = static_cast<bd_curl_handle*>(pl_zalloc(sizeof(bd_curl_handle)));
    if (!h) {
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    h->dev = dev;
    h->stop = reinterpret_cast<stop_flag*>(ctx->param);
    h->connect_timeout = k_connect_timeout;
    h->read_timeout = k_read_timeout;
    h->pos = dev->vol.vol_start;
    h->proto = curl_proto_code(url);
    h->tls = curl_proto_tls(h->proto);

    auto fail = [&]() -> void* {
        free_handle(h);
        return nullptr;
    };
    if (strlen(url) >= URL_SIZE) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return fail();
    }
    if (curl_url_login(h, url) != 0) return fail();
    if (const char* q = strchr(url, '?')) {
        auto ubuf = std::make_unique<char[]>(URL_SIZE);
        url_ctx u{};
        const char* host = url_parser(&u, ubuf.get(), url) == 0 ? u.host : nullptr;
        if (curl_read_query(h, q + 1, host) != 0) return fail();
    }

    auto xfer = std::make_unique<char[]>(URL_SIZE);
    if (curl_transfer_url(url, h->proto, xfer.get(), URL_SIZE) != 0) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return fail();
    }
    {
        char shown[URL_SIZE];
        bd_url_for_log(xfer.get(), shown, sizeof shown);
        LOG2(LOG2_DBG, "block2", "url=[%s]\n", shown);
    }

    int64_t len = -1;
    if (curl_get_len(h, xfer.get(), &len) != 0) return fail();
    dev->fsize = len;
    if (len < 1) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "Unknown file size or zero-length file");
        return fail();
    }
    h->curl = g_curl.easy_init();
    if (!h->curl) {
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return fail();
    }
    if (curl_init_state(h, xfer.get(), h->curl) != 0) return fail();
    return h;
}

int bdrv_curl_close(void* handle) {
    if (handle) free_handle(static_cast<bd_curl_handle*>(handle));
    return 0;
}

int64_t bdrv_curl_write(bd_dev* dev, void*, int64_t, const void*, int64_t) {
    bd_img_not_supported(dev);
    return -1;
}

int64_t bdrv_curl_size(bd_dev* dev, void*) { return bd_img_size(dev); }

int bdrv_curl_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen) {
    return bd_img_ioctl(dev, &static_cast<bd_curl_handle*>(handle)->pos, "curl", cmd, arg, arglen);
}

bd_drv g_curl_drv = {
    BD_DRV_CURL, nullptr, "curl", "", 0, &bdrv_curl_probe, &bdrv_curl_open, &bdrv_curl_close, &url_read_file, nullptr,
    &bdrv_curl_write, nullptr, &bdrv_curl_size, &bdrv_curl_ioctl,
};

}  // namespace

bd_drv* bdrv_curl_register() {
    bd_drv_add(&g_curl_drv);
    return &g_curl_drv;
}

void bdrv_curl_exit() { curl_lib_stop(); }

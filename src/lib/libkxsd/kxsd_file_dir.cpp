// Remote directories: open, the entries of the listings, seek and close.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_file.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "libnet/net_chan.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"

kxsd_dir_ctx* kxsd_cli_opendir(kxsd_cli_ctx* conn, const char* path, const char* pattern) {
    if (!conn || !path) return nullptr;
    auto* d = static_cast<kxsd_dir_ctx*>(pl_calloc(1, sizeof(kxsd_dir_ctx)));
    if (!d) {
        kxsd_cli_set_last_error(conn, KXSD_CLI_MEM_ERR);
        return nullptr;
    }
    d->kind = KXSD_KIND_DIR;
    d->conn = conn;
    d->list_pos = -1;
    int64_t fd = 0;
    const int32_t status = cli_opendir(conn, path, pattern ? pattern : "", &fd);
    kxsd_cli_set_last_error(conn, status);
    if (status != KXSD_CLI_OK) {
        kxsd_dir_free(d);
        return nullptr;
    }
    d->fd = fd;
    if (mem_ptr_add(&conn->dirs, d) != 0) {
        cli_closedir(conn, fd);
        kxsd_dir_free(d);
        kxsd_cli_set_last_error(conn, KXSD_CLI_MEM_ERR);
        return nullptr;
    }
    return d;
}

kxsd_dir_ctx* kxsd_cli_opendir_all(kxsd_cli_ctx* conn, const char* path) {
    return kxsd_cli_opendir(conn, path, nullptr);
}

namespace {

// The listing's text from the read position on.
std::string_view listing_rest(const kxsd_dir_ctx* d) {
    return {d->list + d->list_pos, static_cast<size_t>(d->list_len - d->list_pos)};
}

const os_file_attr* bad_listing(kxsd_dir_ctx* d, std::string_view rest) {
    LOG2(LOG2_ERR, "sdcli", "error: info=[%.*s]\n", static_cast<int>(rest.size()), rest.data());
    kxsd_cli_set_last_error(d->conn, KXSD_CLI_DATA_ERR);
    d->list_pos = -1;
    return nullptr;
}

}  // namespace

const os_file_attr* kxsd_cli_readdir(kxsd_dir_ctx* d) {
    if (!d || d->kind != KXSD_KIND_DIR || !d->conn) return nullptr;
    kxsd_cli_ctx* conn = d->conn;
    if (!d->list) {
        d->list = static_cast<char*>(pl_malloc(conn->rdir_size));
        if (!d->list) {
            kxsd_cli_set_last_error(conn, KXSD_CLI_MEM_ERR);
            return nullptr;
        }
    }
    if (d->list_pos < 0) {
        int32_t n = 0;
        const int32_t status = cli_readdir(conn, d->fd, d->list, static_cast<int32_t>(conn->rdir_size), &n);
        kxsd_cli_set_last_error(conn, status);
        if (status != KXSD_CLI_OK) {
            // The listing state of the server is unknown now.
            net_close(&conn->chan);
            return nullptr;
        }
        d->list_len = static_cast<uint32_t>(n);
        d->list_pos = 0;
    }
    const std::string_view rest = listing_rest(d);
    const size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) return bad_listing(d, rest);
    if (nl == 0) {
        // The empty line: the end of the listing.
        kxsd_cli_set_last_error(conn, KXSD_CLI_OK);
        return nullptr;
    }
    kxsd_dir_entry e;
    if (kxsd_dir_line_parse(rest.substr(0, nl), conn->long_stat != 0, &e) != 0) return bad_listing(d, rest);
    d->attr = e.attr;
    std::memcpy(d->text, e.text, sizeof d->text);
    std::memcpy(d->name, e.name, sizeof d->name);
    d->list_pos += static_cast<int64_t>(nl + 1);
    if (d->list_pos >= static_cast<int64_t>(d->list_len)) d->list_pos = -1;
    d->index++;
    return &d->attr;
}

int kxsd_cli_seekdir(kxsd_dir_ctx* d, uint64_t index) {
    if (!d || d->kind != KXSD_KIND_DIR || !d->conn) return -1;
    char text[32];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(index));
    const int32_t status =
        cli_ioctl2(d->conn, d->fd, KXSD_IOCTL2_DIR_SEEK, text, KXSD_DATA_TEXT, nullptr, 0, nullptr);
    kxsd_cli_set_last_error(d->conn, status);
    if (status != KXSD_CLI_OK) return -1;
    d->index = index;
    d->list_pos = -1;
    return 0;
}

uint64_t kxsd_cli_telldir(const kxsd_dir_ctx* d) { return d ? d->index : 0; }

int kxsd_cli_closedir(kxsd_dir_ctx* d) {
    if (!PL_CHECK_TEXT("sdcli", d != nullptr, "dctx!=NULL")) return -1;
    kxsd_cli_ctx* conn = d->conn;
    int rc = 0;
    if (conn) {
        if (conn->chan.handle) {
            const int32_t status = cli_closedir(conn, d->fd);
            kxsd_cli_set_last_error(conn, status);
            rc = status == KXSD_CLI_OK ? 0 : -1;
        }
        mem_ptr_del(&conn->dirs, d);
    }
    kxsd_dir_free(d);
    return rc;
}

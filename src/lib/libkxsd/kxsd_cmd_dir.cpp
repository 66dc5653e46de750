// Directory commands (41 to 44) and the lines of a listing.
#include <charconv>
#include <cstring>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_cmd_priv.h"
#include "liblog/log2.h"
#include "libpack/pack.h"
#include "libpal/string/str_safe.h"

using namespace kxsd_cmd;

namespace {

constexpr blobmsg_policy k_listing[] = {k_errno,
                                        k_errno_str,
                                        {"len", BLOBMSG_TYPE_INT32},
                                        {"data", BLOBMSG_TYPE_BINARY}};

// The next tab-separated field of *rest (the rest moves past it and its tab).
std::string_view next_field(std::string_view* rest) {
    const size_t tab = rest->find('\t');
    const std::string_view f = rest->substr(0, tab);
    rest->remove_prefix(tab == std::string_view::npos ? rest->size() : tab + 1);
    return f;
}

template <typename T>
bool number(std::string_view f, T* out) {
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), v);
    if (ec != std::errc{} || end != f.data() + f.size() || f.empty()) return false;
    *out = static_cast<T>(v);
    return true;
}

void copy_view(std::string_view v, char* out, size_t size) {
    const size_t n = v.size() < size - 1 ? v.size() : size - 1;
    if (n) std::memcpy(out, v.data(), n);
    out[n] = 0;
}

}  // namespace

int32_t cli_opendir(kxsd_cli_ctx* conn, const char* path, const char* pattern, int64_t* fd) {
    const msg_attr* out[3];
    int at = STEP_SEND;
    const int32_t status = call(req(conn).str("path", path).str("pattern", pattern ? pattern : ""), conn,
                                KXSD_CMD_OPENDIR, k_reply_fd, out, &at);
    if (at == STEP_PARSE) LOG2(LOG2_ERR, "sdcli", "[%s] error: parse data\n", path ? path : "");
    if (status == KXSD_CLI_OK && fd) *fd = blobmsg_get_i64(out[2]);
    return status;
}

int32_t cli_readdir(kxsd_cli_ctx* conn, int64_t fd, void* buf, int32_t size, int32_t* out_len) {
    if (size < 0 || (size > 0 && !buf)) return KXSD_CLI_MEM_ERR;
    const msg_attr* out[4];
    int at = STEP_SEND;
    const uint8_t cmd = conn->long_stat ? KXSD_CMD_READDIR_LONG : KXSD_CMD_READDIR;
    const int32_t status = call(req(conn).i64("fd", fd).i32("len", size), conn, cmd, k_listing, out, &at);
    if (at == STEP_RECV) LOG2(LOG2_DBG, "sdcli", "client_recv_response ret=%d\n", status);
    if (at == STEP_PARSE) LOG2(LOG2_ERR, "sdcli", "parse data error\n");
    if (status == KXSD_CLI_SRV_ERR) LOG2(LOG2_VERB, "sdcli", "ctx->last_error=%d\n", conn->srv_errno);
    if (status != KXSD_CLI_OK) return status;
    const int32_t dlen = bin_len(out[3]);
    int64_t n = 0;
    if (dlen > 0) {
        n = zcomp_unpack(&conn->pack, bin_data(out[3]), dlen, buf, size);
        if (n < 0 || n > size) {
            LOG2(LOG2_DBG, "sdcli", "sdcomp_unpack pack_len=%d buf_len=%d ret=%d\n", dlen, size, static_cast<int>(n));
            return KXSD_CLI_UNPACK_ERR;
        }
    }
    if (out_len) *out_len = static_cast<int32_t>(n);
    return KXSD_CLI_OK;
}

int32_t cli_closedir(kxsd_cli_ctx* conn, int64_t fd) {
    const msg_attr* out[2];
    return call(req(conn).i64("fd", fd), conn, KXSD_CMD_CLOSEDIR, k_reply_none, out);
}

int kxsd_dir_line_parse(std::string_view line, bool long_form, kxsd_dir_entry* entry) {
    if (!entry) return -1;
    *entry = {};
    os_file_attr& a = entry->attr;
    std::string_view rest = line;
    bool ok = number(next_field(&rest), &a.type) && number(next_field(&rest), &a.mode) &&
              number(next_field(&rest), &a.uid) && number(next_field(&rest), &a.gid) &&
              number(next_field(&rest), &a.atime.sec) && number(next_field(&rest), &a.mtime.sec) &&
              number(next_field(&rest), &a.ctime.sec) && number(next_field(&rest), &a.size);
    if (ok && long_form) {
        ok = number(next_field(&rest), &a.atime.nsec) && number(next_field(&rest), &a.mtime.nsec) &&
             number(next_field(&rest), &a.ctime.nsec) && number(next_field(&rest), &a.nlink) &&
             number(next_field(&rest), &a.dev) && number(next_field(&rest), &a.rdev) &&
             number(next_field(&rest), &a.ino) && number(next_field(&rest), &a.blksize) &&
             number(next_field(&rest), &a.blocks);
    }
    if (!ok) return -1;
    // The name is the last field (it holds no tab); the text is everything
    // between the numbers and the name.
    const size_t tab = rest.rfind('\t');
    const std::string_view name = tab == std::string_view::npos ? rest : rest.substr(tab + 1);
    const std::string_view text = tab == std::string_view::npos ? std::string_view{} : rest.substr(0, tab);
    copy_view(text, entry->text, sizeof entry->text);
    copy_view(name, entry->name, sizeof entry->name);
    return 0;
}

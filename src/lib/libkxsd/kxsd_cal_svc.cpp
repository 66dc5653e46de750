// The other control services of the server (command 8): configuration,
// account, volume snapshots, the disk tool and a few plain texts. Nothing
// in the copy command calls them; the client builds the requests.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "libkxsd/kxsd_cal.h"
#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_conn.h"
#include "libpal/basic/verr.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_size.h"
#include "libpwd/libpwd.h"

namespace {

constexpr int32_t k_code_conf = 10;
constexpr int32_t k_code_numbers = 10001;
constexpr int32_t k_code_pair = 10005;
constexpr int32_t k_code_query = 10101;
constexpr int32_t k_code_reset = 10112;
constexpr size_t k_answer = 4096;
constexpr size_t k_account_max = 8182;
constexpr size_t k_tool_arg_max = 4096;
constexpr size_t k_tool_text_max = 32768;

int32_t cap_of(size_t size) { return size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size); }

// A text request whose answer is a text in ans: its length, or -1.
int text_call(void* handle, int32_t code, const std::string& text, char* ans, size_t size) {
    int32_t got = 0;
    if (ans && size) ans[0] = 0;
    const bool room = ans && size;
    const int rc =
        kxsd_cli_ioctl2(handle, code, text.c_str(), KXSD_DATA_TEXT, room ? ans : nullptr, room ? cap_of(size - 1) : 0, &got);
    if (rc != 0) return -1;
    if (ans && size) ans[got] = 0;
    return got;
}

int disk_tool(void* handle, const std::string& args, char* ans, size_t size) {
    if (args.size() >= k_tool_text_max) return cli_refuse(handle);
    return text_call(handle, KXSD_IOCTL2_DISK_TOOL, args, ans, size) < 0 ? -1 : 0;
}

bool arg_ok(const char* a) { return a && std::strlen(a) < k_tool_arg_max; }

}  // namespace

int kxsd_cli_vss_mount(kxsd_cli_ctx* conn, const char* text, char* ans, size_t size) {
    if (!conn) return -1;
    if (!kxsd_cli_ver_at_least(conn, "1.6.7")) return kxsd_cli_not_supported(conn);
    char buf[k_answer];
    const int n = text_call(conn, KXSD_IOCTL2_VSS_MOUNT, text ? text : "", buf, sizeof buf);
    if (n < 0) return -1;
    if (ans && size) {
        const size_t k = static_cast<size_t>(n) < size - 1 ? static_cast<size_t>(n) : size - 1;
        std::memcpy(ans, buf, k);
        ans[k] = 0;
    }
    return 0;
}

int kxsd_cli_srv_conf(void* handle, char* buf, size_t size) {
    int32_t got = 0;
    if (buf && size) buf[0] = 0;
    const bool room = buf && size;
    if (kxsd_cli_ioctl2(handle, k_code_conf, nullptr, 0, room ? buf : nullptr, room ? cap_of(size - 1) : 0, &got) != 0)
        return -1;
    if (buf && size) buf[got] = 0;
    return got;
}

int kxsd_cli_allow_set_readonly(void* handle, int* out) {
    kxsd_cli_ctx* conn = cli_get_ctx(handle);
    if (!conn || !out) return -1;
    *out = 0;
    if (!kxsd_cli_ver_at_least(conn, "1.6.1")) return 0;
    char conf[k_answer];
    if (kxsd_cli_srv_conf(handle, conf, sizeof conf) < 0) return -1;
    std::string_view v;
    *out = str_kv_find(conf, "\r\n", '=', "allow_set_readonly", &v) && v == "0" ? 1 : 0;
    return 0;
}

int kxsd_cli_set_account(void* handle, const char* text) {
    kxsd_cli_ctx* conn = cli_get_ctx(handle);
    if (!conn || !text || std::strlen(text) > k_account_max) return cli_refuse(handle);
    auto buf = std::make_unique<char[]>(k_account_max + 1);
    std::memcpy(buf.get(), text, std::strlen(text) + 1);
    char user[512] = "", pwd[512] = "";
    std::string_view uv, pv;
    const bool both = str_kv_find(buf.get(), "\n", '=', "user", &uv) && !uv.empty() &&
                      str_kv_find(buf.get(), "\n", '=', "passwd", &pv) && !pv.empty();
    if (both) {
        // A value that cannot be enciphered is refused: it never goes out plain.
        char enc[1024];
        if (uv.size() >= sizeof user || pv.size() >= sizeof pwd ||
            str_kv_get(buf.get(), "\n", '=', "user", user, sizeof user) != 0 ||
            str_kv_get(buf.get(), "\n", '=', "passwd", pwd, sizeof pwd) != 0 ||
            libpwd_encrypt(user, conn->login_key, enc, sizeof enc) != 0 ||
            str_kv_set(buf.get(), k_account_max + 1, "\n", STR_KV_SET_EXIST, "user", enc) != 0 ||
            libpwd_encrypt(pwd, conn->login_key, enc, sizeof enc) != 0 ||
            str_kv_set(buf.get(), k_account_max + 1, "\n", STR_KV_SET_EXIST, "passwd", enc) != 0) {
            explicit_bzero(pwd, sizeof pwd);
            explicit_bzero(buf.get(), k_account_max + 1);
            return cli_refuse(handle);
        }
    }
    explicit_bzero(pwd, sizeof pwd);
    const int rc = kxsd_cli_ioctl2(handle, KXSD_IOCTL2_SET_ACCOUNT, buf.get(), KXSD_DATA_TEXT, nullptr, 0, nullptr);
    explicit_bzero(buf.get(), k_account_max + 1);
    return rc;
}

int kxsd_cli_srv_numbers(void* handle, const char* text, uint64_t out[11]) {
    if (!out) return cli_refuse(handle);
    char ans[k_answer];
    if (text_call(handle, k_code_numbers, text ? text : "", ans, sizeof ans) < 0) return -1;
    std::string_view rest = ans;
    for (int i = 0; i < 11; i++) {
        const size_t tab = rest.find('\t');
        const std::string field(rest.substr(0, tab));
        out[i] = std::strtoull(field.c_str(), nullptr, 10);
        rest.remove_prefix(tab == std::string_view::npos ? rest.size() : tab + 1);
    }
    return 0;
}

int kxsd_cli_srv_text(void* handle, int32_t code, const char* a, const char* b, char* ans, size_t size) {
    std::string text = a ? a : "";
    if (code == 10004) text += std::string("\t") + (b ? b : "");
    else if (code != 10002 && code != 10003) return cli_refuse(handle);
    return text_call(handle, code, text, ans, size);
}

int kxsd_cli_srv_pair(void* handle, const char* a, const char* b) {
    const std::string text = std::string(a ? a : "") + "\t" + (b ? b : "");
    return kxsd_cli_ioctl2(handle, k_code_pair, text.c_str(), KXSD_DATA_TEXT, nullptr, 0, nullptr);
}

int kxsd_cli_disk_scan(void* handle, char* ans, size_t size) { return disk_tool(handle, "--scan", ans, size); }

int kxsd_cli_disk_smart(void* handle, const char* dev, char* ans, size_t size) {
    if (!arg_ok(dev)) return cli_refuse(handle);
    return disk_tool(handle, std::string("--smart=on -j -a ") + dev, ans, size);
}

int kxsd_cli_disk_test(void* handle, const char* type, const char* dev, char* ans, size_t size) {
    if (!arg_ok(type) || !arg_ok(dev)) return cli_refuse(handle);
    return disk_tool(handle, std::string("-t force -t ") + type + " " + dev, ans, size);
}

int kxsd_cli_disk_abort(void* handle, const char* dev, char* ans, size_t size) {
    if (!arg_ok(dev)) return cli_refuse(handle);
    return disk_tool(handle, std::string("-X ") + dev, ans, size);
}

int kxsd_cli_srv_query(void* handle, const char* text, char* ans, size_t size) {
    return text_call(handle, k_code_query, text ? text : "", ans, size) < 0 ? -1 : 0;
}

int kxsd_cli_srv_reset(void* handle) {
    return kxsd_cli_ioctl2(handle, k_code_reset, nullptr, 0, nullptr, 0, nullptr);
}

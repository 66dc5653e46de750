// The accepted account and the login checks of the server side.
#include "libpwd/pwd_account.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/random.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_edit.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_safe.h"
#include "libpwd/ipcheck.h"
#include "libpwd/libpwd.h"
#include "liblog/log2.h"

namespace {

constexpr char k_tag[] = "pwd";
constexpr char k_wrong[] = "Wrong user or password";
// The user name of the client's probe login.
constexpr char k_probe_user[] = ":";

// The account, set at start-up and read by the checks.
struct account_state {
    char user[LIBPWD_ACCOUNT_SIZE];
    char passwd[LIBPWD_ACCOUNT_SIZE];
    char sha_passwd[LIBPWD_ACCOUNT_SIZE];
};
account_state g_account;

void wipe_account() {
    str_wipe(g_account.user);
    str_wipe(g_account.passwd);
    str_wipe(g_account.sha_passwd);
}

// Comparison of secrets in a time that does not depend on where they differ.
bool secret_equal(const char* a, const char* b) {
    size_t la = strlen(a), lb = strlen(b);
    size_t diff = la ^ lb;
    for (size_t i = 0; i < la; ++i) diff |= static_cast<unsigned char>(a[i] ^ (i < lb ? b[i] : 0));
    return diff == 0;
}

void set_msg(char* msg, const char* text) {
    if (msg) str_safecopy_trunc(msg, LIBPWD_MSG_SIZE, text);
}

bool is_accepted_user(const char* user) {
    // With no account set nobody is accepted, not even an empty user name.
    return user && g_account.user[0] && strcmp(user, g_account.user) == 0;
}

// Step shared by both logins: a user other than the accepted one.
int refuse_user(const char* addr, const char* user, char* msg, bool count_probe) {
    set_msg(msg, k_wrong);
    if (count_probe || !user || strcmp(user, k_probe_user) != 0) {
        LOG2(LOG2_WARN, k_tag, "ip=[%s] wrong user [%s]\n", addr ? addr : "", user ? user : "");
        ipcheck_fail(addr);
    }
    return LIBPWD_LOGIN_REFUSED;
}

}  // namespace

int libpwd_init(const libpwd_conf* conf) {
    wipe_account();
    memset(&g_account, 0, sizeof g_account);
    if (conf) {
        str_safecopy_trunc(g_account.user, sizeof g_account.user, conf->user ? conf->user : "");
        str_safecopy_trunc(g_account.passwd, sizeof g_account.passwd, conf->passwd ? conf->passwd : "");
        libpwd_sha_pwd(g_account.passwd, g_account.sha_passwd, sizeof g_account.sha_passwd);
    }
    ipcheck_init(conf);
    return 0;
}

int libpwd_exit() {
    wipe_account();
    ipcheck_exit();
    return 0;
}

int libpwd_set_account(const char* user, const char* passwd, char* msg) {
    if (!user || !passwd) return -1;
    if (!str_check_escape_val(user)) {
        if (msg) str_sprintf_s(msg, LIBPWD_MSG_SIZE, "user is invalid, Cannot use [%s]", STR_URL_VAL_BAN_SET);
        return -1;
    }
    if (!str_check_escape_val(passwd)) {
        if (msg) str_sprintf_s(msg, LIBPWD_MSG_SIZE, "passwd is invalid, Cannot use [%s]", STR_URL_VAL_BAN_SET);
        return -1;
    }
    wipe_account();
    str_safecopy_trunc(g_account.user, sizeof g_account.user, user);
    str_safecopy_trunc(g_account.passwd, sizeof g_account.passwd, passwd);
    libpwd_sha_pwd(g_account.passwd, g_account.sha_passwd, sizeof g_account.sha_passwd);
    return 0;
}

int libpwd_check_user_pwd(const char* addr, const char* user, const char* passwd, char* msg) {
    if (ipcheck_check(addr, msg) == LIBPWD_LOGIN_LOCKED) {
        LOG2(LOG2_WARN, k_tag, "ip=[%s] error: %s\n", addr ? addr : "", msg ? msg : "");
        return LIBPWD_LOGIN_LOCKED;
    }
    if (!is_accepted_user(user)) return refuse_user(addr, user, msg, false);
    const char* given = passwd ? passwd : "";
    if (!secret_equal(given, g_account.passwd) && !secret_equal(given, g_account.sha_passwd)) {
        // The refused text is often a near miss of the real password: not logged.
        LOG2(LOG2_WARN, k_tag, "ip=[%s] wrong pwd [%s]\n", addr ? addr : "", "***");
        set_msg(msg, k_wrong);
        ipcheck_fail(addr);
        return LIBPWD_LOGIN_REFUSED;
    }
    ipcheck_ok(addr);
    LOG2(LOG2_DBG, k_tag, "ip=[%s] login_ok\n", addr ? addr : "");
    return LIBPWD_LOGIN_OK;
}

int libpwd_user_get_cert(const char* addr, int version, int* version_out, const char* user, char* cert,
                         size_t cert_size, char* key, size_t key_size, char* msg) {
    if (version_out) *version_out = version > 0 ? 1 : version;
    if (!is_accepted_user(user)) return refuse_user(addr, user, msg, true);
    if (!cert || !key) return LIBPWD_LOGIN_REFUSED;
    // The challenge must not be predictable, or an observed answer could be
    // replayed: the bytes come from the operating system.
    uint8_t bytes[LIBPWD_CERT_BYTES];
    int ret = memory_random_strong(bytes, sizeof bytes) == 0 &&
              str_bin_encode_hex_lower(bytes, sizeof bytes, cert, cert_size);
    if (!PL_CHECK_TEXT(k_tag, ret != 0, "ret != FALSE")) {
        if (cert_size) cert[0] = '\0';
        if (key_size) key[0] = '\0';
        set_msg(msg, k_wrong);
        return LIBPWD_LOGIN_REFUSED;
    }
    libpwd_build_key(user, g_account.passwd, version, cert, key, key_size);
    return LIBPWD_LOGIN_OK;
}

int libpwd_check_key(const char* addr, const char* key, const char* expected, char* msg) {
    const char* given = key ? key : "";
    // An empty expected key (no challenge made) matches nothing.
    if (!expected || !*expected || !secret_equal(given, expected)) {
        LOG2(LOG2_WARN, k_tag, "ip=[%s] wrong key [%s]\n", addr ? addr : "", given);
        set_msg(msg, k_wrong);
        ipcheck_fail(addr);
        return LIBPWD_LOGIN_REFUSED;
    }
    LOG2(LOG2_DBG, k_tag, "ip=[%s] key=[%s] login_ok\n", addr ? addr : "", given);
    ipcheck_ok(addr);
    return LIBPWD_LOGIN_OK;
}

// The server side of the remote storage login: the accepted account, the
// checks of a "{SHA}" login and of a challenge login, and the per-address
// count of failed logins with a lockout (libpwd/ipcheck.h).
//
// Every message argument is a buffer of LIBPWD_MSG_SIZE bytes.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t LIBPWD_MSG_SIZE = 4096;
inline constexpr size_t LIBPWD_ACCOUNT_SIZE = 4096;
// A certificate text: 128 random bytes as lower-case hexadecimal.
inline constexpr size_t LIBPWD_CERT_BYTES = 128;
inline constexpr size_t LIBPWD_CERT_SIZE = LIBPWD_CERT_BYTES * 2 + 1;

// Account settings.
struct libpwd_conf {
    const char* user;
    const char* passwd;
    uint32_t login_fail_count;  // failed logins that lock an address; 0: no address check
    uint32_t lock_minutes;      // 0 means 60
    uint32_t table_size;        // addresses tracked at most; 0 means 4096
};

// Results of the checks.
enum : int {
    LIBPWD_LOGIN_OK = 0,
    LIBPWD_LOGIN_REFUSED = 1,
    LIBPWD_LOGIN_LOCKED = 2,
};

// Clears the account state, takes the user and password, then starts the
// address check. 0.
int libpwd_init(const libpwd_conf* conf);
// Wipes the account texts and ends the address check. 0.
int libpwd_exit();

// Replaces the account. Neither text may hold any of STR_URL_VAL_BAN_SET;
// otherwise msg tells which and the result is -1. 0 on success.
int libpwd_set_account(const char* user, const char* passwd, char* msg);

// A "{SHA}" or plain-password login from an address: LIBPWD_LOGIN_OK,
// LIBPWD_LOGIN_REFUSED ("Wrong user or password") or LIBPWD_LOGIN_LOCKED
// (the lockout text). The client's probe user ":" is refused without
// counting a failure. With no account set every login is refused.
int libpwd_check_user_pwd(const char* addr, const char* user, const char* passwd, char* msg);

// First half of a challenge login: for the accepted user, a new certificate
// text into cert and the login key the client must answer into key. A wrong
// user is counted as a failure and gives 1 ("Wrong user or password"); 0
// otherwise. *version_out gets 1 for a version above 0, else the version.
int libpwd_user_get_cert(const char* addr, int version, int* version_out, const char* user, char* cert,
                         size_t cert_size, char* key, size_t key_size, char* msg);

// Second half: compares the key the client presented with the expected one.
// 0 (the address's failures forgotten) or 1 (counted as a failure).
int libpwd_check_key(const char* addr, const char* key, const char* expected, char* msg);

// The login of a connection: the probe, then the "{SHA}" form or the
// challenge login by the server's protocol byte.
#include <cstring>

#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_proto.h"
#include "libpwd/libpwd.h"

int32_t cli_login(kxsd_cli_ctx* conn, const char* user, const char* passwd) {
    // A server that lets anyone in accepts the probe, and the connection is
    // then logged in without the real login.
    int32_t status = cli_init1(conn, ":", "");
    if (status != KXSD_CLI_SRV_ERR || conn->srv_errno != 1) return status;

    if (conn->srv_proto == 1) {
        char sha[LIBPWD_SHA_PWD_LEN + 1];
        libpwd_sha_pwd(passwd, sha, sizeof sha);
        status = cli_init1(conn, user, sha);
        explicit_bzero(sha, sizeof sha);
        return status;
    }

    int32_t ver = 0;
    char cert[KXSD_CERT_SIZE];
    status = cli_init2(conn, user, &ver, cert, sizeof cert);
    if (status != KXSD_CLI_OK) return status;
    libpwd_build_key(user, passwd, ver, cert, conn->login_key, sizeof conn->login_key);
    return cli_init3(conn, conn->login_key);
}

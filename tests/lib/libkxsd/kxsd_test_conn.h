// A bare client connection for the framing tests: a zeroed kxsd_cli_ctx
// whose channel is a TCP socket to 127.0.0.1 (or one end of a socket pair),
// with its error record, freed with everything it holds.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "libkxsd/blobmsg.h"
#include "libkxsd/kxsd_cli_ctx.h"
#include "libkxsd/kxsd_proto.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/ipaddr.h"
#include "libpal/os/posix/os_socket.h"
#include "libpal/os/posix/os_socket_wait.h"

struct test_conn {
    std::unique_ptr<kxsd_cli_ctx> ctx{new kxsd_cli_ctx{}};
    std::unique_ptr<verr_info> err{new verr_info{}};

    // Connected to 127.0.0.1:port.
    explicit test_conn(uint16_t port, int timeout_ms = 10000) {
        init(timeout_ms);
        uint64_t sock = os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4);
        if (!sock) return;
        os_ipaddr addr{};
        os_ipaddr_set(&addr, "127.0.0.1", port, OS_IPADDR_IPV4);
        int r = os_socket_connect(sock, &addr);
        if (r == 0 && os_socket_wait(sock, OS_SOCKET_WAIT_WRITE, timeout_ms) > 0) r = os_socket_connect(sock, &addr);
        if (r != 1) {
            os_socket_exit(sock);
            return;
        }
        ctx->chan.handle = sock;
    }
    // Over an already connected socket handle, which it then owns.
    test_conn(uint64_t sock, int timeout_ms) {
        init(timeout_ms);
        ctx->chan.handle = sock;
    }
    ~test_conn() {
        net_close(&ctx->chan);
        msg_buf_free(&ctx->req);
        pl_free(ctx->reply);
    }
    test_conn(const test_conn&) = delete;
    test_conn& operator=(const test_conn&) = delete;

    bool connected() const { return ctx->chan.handle != 0; }
    kxsd_cli_ctx* operator->() const { return ctx.get(); }
    kxsd_cli_ctx* get() const { return ctx.get(); }

    // Starts a request body.
    msg_buf* body() {
        msg_buf_init(&ctx->req, BLOBMSG_TYPE_TABLE);
        return &ctx->req;
    }

private:
    void init(int timeout_ms) {
        ctx->chan.timeout = timeout_ms;
        ctx->err = err.get();
    }
};

// Reply policy rows built from "errno", "errno_str" and the given fields.
inline std::vector<blobmsg_policy> reply_policy(std::initializer_list<blobmsg_policy> rest) {
    std::vector<blobmsg_policy> p = {{"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}};
    p.insert(p.end(), rest.begin(), rest.end());
    return p;
}

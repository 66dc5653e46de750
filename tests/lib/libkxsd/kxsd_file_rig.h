// Rig of the remote file and remote job tests: a test server serving one
// file "img", a connection to it, and the server log read back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kxsd_conn_rig.h"
#include "libkxsd/kxsd_file.h"

namespace kxsd_file_rig {

using namespace kxsd_rig;

// Bytes of a fixed generator that LZ4 cannot shrink.
inline std::string noise(size_t n, uint32_t seed = 1) {
    std::string s(n, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto& ch : s) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        ch = static_cast<char>(x);
    }
    return s;
}

// A server with "img" holding data, and a connection to it.
struct served {
    kxsd_server_proc srv;
    std::string data;
    std::unique_ptr<connected> c;
    served(const std::string& d, const std::vector<std::string>& args = {}, const std::string& query = "",
           stop_flag* stop = nullptr)
        : srv(args), data(d) {
        if (!srv.started()) return;
        write_file(srv.file("img"), data);
        c = std::make_unique<connected>(url_of(srv.port(), query), stop);
    }
    bool ok() const { return srv.started() && c && *c; }
    std::string why() const { return srv.started() ? (c ? c->why() : "no connect") : srv.error(); }
    kxsd_cli_ctx* conn() const { return c->get(); }
    const verr_info& err() const { return *c->err; }
    std::string msg() const { return verr_msg(c->err.get()); }
    // The number of connections the server saw.
    size_t connects() const {
        size_t n = 0;
        for (const mini_json& r : srv.log())
            if (r["event"].s() == "connect") n++;
        return n;
    }
    // The request records of a command after the first `from` of them.
    std::vector<mini_json> reqs(int cmd, size_t from = 0) const {
        auto all = srv.requests(cmd);
        return from < all.size() ? std::vector<mini_json>(all.begin() + static_cast<long>(from), all.end())
                                 : std::vector<mini_json>{};
    }
    // The control requests (command 8 or 20) of one code.
    std::vector<mini_json> codes(int cmd, int code) const {
        std::vector<mini_json> out;
        for (const mini_json& r : srv.requests(cmd))
            if (r["code"].i() == code) out.push_back(r);
        return out;
    }
};

// A remote file that closes itself with the test.
struct file_close {
    void operator()(kxsd_file_ctx* f) const { kxsd_cli_close(f); }
};
using file_ptr = std::unique_ptr<kxsd_file_ctx, file_close>;

}  // namespace kxsd_file_rig

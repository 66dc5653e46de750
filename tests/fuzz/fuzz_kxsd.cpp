// The remote storage client against a hostile server, and packed blocks.
//
// Input, first byte below 0x80: the connection's pack method (bit 0: lz4,
// else none) and the server's features (bit 1: long stat, bit 2:
// offsets), four bytes choosing four client calls, then the byte stream the
// "server" sends: it waits in one end of a socket pair whose other end the
// client reads, and ends there. First byte 0x80 or above: the rest is a
// packed block, unpacked with either method into a bounded buffer.
// Checks: every call returns a client status; nothing the reply says makes
// the client write past the caller's buffer or report more bytes than the
// buffer holds; texts handed back are terminated inside their buffers; a
// block that unpacks fits the capacity, and any bytes packed unpack to
// themselves.
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "libkxsd/kxsd_cli_ctx.h"
#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_proto.h"
#include "libnet/net_chan.h"
#include "libpack/pack.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/posix/os_socket.h"

namespace {

bool trace() {
    static const bool on = getenv("KXDD_FUZZ_TRACE") != nullptr;
    return on;
}

// A buffer with guard bytes on both sides that must stay untouched.
struct guarded {
    static constexpr size_t k_guard = 32;
    std::vector<uint8_t> mem;
    explicit guarded(size_t n) : mem(n + 2 * k_guard, 0xA5) {}
    uint8_t* data() { return mem.data() + k_guard; }
    size_t size() const { return mem.size() - 2 * k_guard; }
    bool intact() const {
        for (size_t i = 0; i < k_guard; i++)
            if (mem[i] != 0xA5 || mem[mem.size() - 1 - i] != 0xA5) return false;
        return true;
    }
};

bool terminated(const char* text, size_t size) { return memchr(text, 0, size) != nullptr; }

void check_status(int32_t st) { FUZZ_CHECK(st >= KXSD_CLI_OK && st <= KXSD_CLI_DATA_LEN_ERR); }

void one_call(kxsd_cli_ctx* c, uint8_t op) {
    int32_t st = 0;
    switch (op % 16) {
    case 0: {  // read, unpacked
        guarded b(4096);
        int32_t plain = -1, packed = -1;
        st = cli_read_imp(c, 3, b.data(), 4096, &plain, &packed, 0, op & 0x10 ? 8192 : KXSD_OFFSET_CUR);
        FUZZ_CHECK(b.intact());
        if (st == KXSD_CLI_OK) FUZZ_CHECK(plain >= 0 && plain <= 4096 && packed >= 0);
        break;
    }
    case 1: {  // read, packed bytes as they came
        guarded b(2 * 1024);
        int32_t plain = -1, packed = -1;
        st = cli_read_imp(c, 3, b.data(), 1024, &plain, &packed, 1, KXSD_OFFSET_CUR);
        FUZZ_CHECK(b.intact());
        if (st == KXSD_CLI_OK) FUZZ_CHECK(plain >= 0 && plain <= 1024 && packed >= 0 && packed <= 2048);
        break;
    }
    case 2: {
        os_file_attr a{};
        st = cli_stat(c, "/img", &a);
        break;
    }
    case 3: {
        os_file_attr a{};
        st = cli_fstat(c, 3, &a);
        break;
    }
    case 4: {
        os_file_info info{};
        st = cli_file_info(c, 3, &info);
        FUZZ_CHECK(terminated(info.description, sizeof info.description));
        break;
    }
    case 5: {  // a directory listing, then its lines
        guarded b(2048);
        int32_t n = -1;
        st = cli_readdir(c, 4, b.data(), 2048, &n);
        FUZZ_CHECK(b.intact());
        if (st != KXSD_CLI_OK) break;
        FUZZ_CHECK(n >= 0 && n <= 2048);
        std::string_view list(reinterpret_cast<const char*>(b.data()), static_cast<size_t>(n));
        while (!list.empty()) {
            const size_t end = list.find('\n');
            kxsd_dir_entry* e = new kxsd_dir_entry;
            if (kxsd_dir_line_parse(list.substr(0, end), c->long_stat != 0, e) == 0) {
                FUZZ_CHECK(terminated(e->text, sizeof e->text) && terminated(e->name, sizeof e->name));
            }
            delete e;
            if (end == std::string_view::npos) break;
            list.remove_prefix(end + 1);
        }
        break;
    }
    case 6: {
        guarded b(256);
        int32_t n = -1;
        st = cli_ioctl2_text(c, 3, KXSD_IOCTL2_HASH_CAL, "0\t4096", KXSD_DATA_TEXT,
                             reinterpret_cast<char*>(b.data()), 256, &n);
        FUZZ_CHECK(b.intact());
        if (st == KXSD_CLI_OK) FUZZ_CHECK(n >= 0 && n < 256 && b.data()[n] == 0);
        break;
    }
    case 7: {
        guarded b(64);
        int32_t n = -1;
        st = cli_ioctl2(c, 3, KXSD_IOCTL2_HASH_GET, "16", KXSD_DATA_TEXT, b.data(), 64, &n);
        FUZZ_CHECK(b.intact());
        if (st == KXSD_CLI_OK) FUZZ_CHECK(n >= 0 && n <= 64);
        break;
    }
    case 8: {
        kxsd_volume_info v{};
        st = cli_volume_info(c, "/", &v);
        FUZZ_CHECK(terminated(v.fs_name, sizeof v.fs_name) && terminated(v.vol_name, sizeof v.vol_name));
        break;
    }
    case 9: {
        char text[128];
        memset(text, 'x', sizeof text);
        st = op & 0x10 ? cli_lsblk(c, text, sizeof text) : cli_info(c, text, sizeof text);
        if (st == KXSD_CLI_OK) FUZZ_CHECK(terminated(text, sizeof text));
        break;
    }
    case 10: {
        char cert[KXSD_CERT_SIZE];
        int32_t ver = 0;
        st = cli_init2(c, "user", &ver, cert, sizeof cert);
        if (st == KXSD_CLI_OK) FUZZ_CHECK(terminated(cert, sizeof cert));
        break;
    }
    case 11: {
        int64_t off = 0;
        st = cli_seek(c, 3, 512, 0, &off);
        break;
    }
    case 12: {
        uint8_t data[256];
        memset(data, 0x5A, sizeof data);
        int32_t n = -1;
        st = cli_write_imp(c, 3, data, sizeof data, &n, 0, 0, op & 0x10 ? 4096 : KXSD_OFFSET_CUR);
        if (st == KXSD_CLI_OK) FUZZ_CHECK(n >= 0 && n <= 256);
        break;
    }
    case 13: {
        int64_t fd = 0;
        st = cli_open(c, "/img", 0, &fd);
        break;
    }
    case 14: {
        st = cli_file_ioctl(c, 0, KXSD_IOCTL_PACK, op & 0x10 ? "none" : "lz4", KXSD_DATA_TEXT);
        break;
    }
    default: {
        int32_t n = -1;
        st = cli_pwritex(c, 3, 1, 4096, 0, &n);
        if (st == KXSD_CLI_OK) FUZZ_CHECK(n >= 0 && n <= 4096);
        break;
    }
    }
    if (st != -1) check_status(st);
    FUZZ_CHECK(terminated(c->errno_str, sizeof c->errno_str));
    if (trace()) fprintf(stderr, "op %u -> status %d (%s)\n", op % 16, st, c->errno_str);
}

void run_client(fuzz::reader& in, uint8_t setup) {
    uint8_t ops[4];
    for (uint8_t& op : ops) op = in.byte();
    const std::string_view stream = in.rest();
    uint64_t pair[2] = {0, 0};
    FUZZ_CHECK(os_socket_pair(OS_SOCKET_STREAM, pair) == 1);
    // The whole stream waits in the socket, then the server stops sending:
    // the client reads what there is and then sees the end.
    const int peer = static_cast<int>(pair[1] - 1);
    int size = 1 << 20;
    setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(static_cast<int>(pair[0] - 1), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    size_t sent = 0;
    while (sent < stream.size()) {
        const int64_t n = os_socket_send(pair[1], stream.data() + sent, stream.size() - sent);
        FUZZ_CHECK(n > 0);
        sent += static_cast<size_t>(n);
    }
    shutdown(peer, SHUT_WR);

    auto* c = new kxsd_cli_ctx{};
    verr_info err{};
    c->err = &err;
    c->chan.handle = pair[0];
    c->chan.timeout = 2000;
    c->long_stat = (setup >> 1) & 1;
    c->offsets = (setup >> 2) & 1;
    strcpy(c->pack.name, setup & 1 ? "lz4" : "none");
    FUZZ_CHECK(zcomp_open_ex(&c->pack) == 0);
    for (uint8_t op : ops) one_call(c, op);
    net_close(&c->chan);
    msg_buf_free(&c->req);
    pl_free(c->reply);
    zcomp_close(&c->pack);
    delete c;
    os_socket_exit(pair[1]);
}

void check_blocks(fuzz::reader& in) {
    const uint8_t method = in.byte() & 1;
    const int64_t cap = 1 + 64 * static_cast<int64_t>(in.byte());
    const std::string_view block = in.rest();
    zcomp_ctx z{};
    strcpy(z.name, method ? "lz4" : "none");
    FUZZ_CHECK(zcomp_open_ex(&z) == 0);
    guarded out(static_cast<size_t>(cap));
    const int64_t n = zcomp_unpack(&z, block.data(), static_cast<int64_t>(block.size()), out.data(), cap);
    FUZZ_CHECK(out.intact());
    FUZZ_CHECK(n <= cap);
    // Packed and unpacked, any bytes come back as they were.
    if (!block.empty()) {
        const uint64_t bound = zcomp_bound(block.size());
        std::vector<uint8_t> packed(bound);
        const int64_t p = zcomp_pack(&z, block.data(), static_cast<int64_t>(block.size()), packed.data(),
                                     static_cast<int64_t>(bound));
        FUZZ_CHECK(p > 0 && static_cast<uint64_t>(p) <= bound);
        guarded back(block.size());
        FUZZ_CHECK(zcomp_unpack(&z, packed.data(), p, back.data(), static_cast<int64_t>(block.size())) ==
                   static_cast<int64_t>(block.size()));
        FUZZ_CHECK(back.intact());
        FUZZ_CHECK(memcmp(back.data(), block.data(), block.size()) == 0);
    }
    zcomp_close(&z);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!trace()) fuzz::quiet_logs();
    os_socket_init_env();
    zcomp_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    fuzz::reader in(data, size);
    const uint8_t setup = in.byte();
    if (setup & 0x80) {
        check_blocks(in);
    } else {
        run_client(in, setup);
    }
    return 0;
}

// The connection record of the remote storage client.
#pragma once

#include <cstdint>

#include "libkxsd/blobmsg.h"
#include "libnet/net_chan.h"
#include "libpack/pack.h"
#include "libpal/memory/mem_ptr.h"

struct verr_info;
struct conf_proxy;

inline constexpr int KXSD_ERRNO_STR_SIZE = 4096;

// Kinds of the client's handles: a connection, a file, a directory.
enum : uint32_t {
    KXSD_KIND_CONN = 0,
    KXSD_KIND_FILE = 1,
    KXSD_KIND_DIR = 2,
};

// Send modes of a connection (kxsd_cli_set_send_mode). Outside the resume
// procedure, both withheld modes make every reply read fail with status 1.
enum : uint32_t {
    KXSD_SEND_NORMAL = 0,
    KXSD_SEND_NO_REPLY = 1,    // requests are sent, their replies not read
    KXSD_SEND_COUNT_ONLY = 2,  // requests are counted, not sent
};

// One connection to a kxsd server (allocated zeroed).
struct kxsd_cli_ctx {
    uint32_t kind;                 // KXSD_KIND_CONN
    net_chan chan;                 // kind 0, timeout = the read timeout
    uint8_t srv_proto;             // protocol byte of the first reply; 0 before it
    char login_key[41];            // key of the challenge login
    char* host;
    uint32_t port;
    uint32_t sock_bufsize;
    int32_t connect_timeout;       // milliseconds
    int32_t read_timeout;
    int32_t write_timeout;
    uint32_t bssl;                 // 1 for "kxps"
    char* cipher;
    verr_info* err;                // the caller's error record
    char* user;
    char* passwd;
    int32_t block_size;            // the largest data request
    int32_t max_reply;             // the most bytes one read request returned
    uint32_t rdir_size;            // directory listing buffer
    int32_t os_type;               // "os_type" of the login reply (1: Windows)
    int32_t srv_errno;             // "errno" of the last error reply
    char errno_str[KXSD_ERRNO_STR_SIZE];
    uint32_t written;
    msg_buf req;                   // request body, reused by every request
    uint8_t* reply;                // reply body, root word first
    int32_t reply_cap;             // bytes allocated for it
    int net_errno;                 // errno of the last failed channel read
    zcomp_ctx pack;                // its name is the connection's pack method
    char srv_ver[32];
    uint8_t long_stat;             // server 1.5.3 or later
    uint8_t offsets;               // server 1.6.4 or later
    uint8_t windows;               // platform "windows"
    // Resume state (kxsd_proto.h, client_fix_last_error); off until
    // kxsd_cli_enable_resume.
    uint8_t fixing;
    uint8_t fix_failed;
    uint32_t last_cmd;
    uint64_t cmd_send_count;
    uint64_t srv_ctx_id;
    mem_ptr_ctx files;
    mem_ptr_ctx dirs;
    uint32_t send_mode;            // KXSD_SEND_*
    uint8_t resume_enabled;
    // The proxy the connect went through (owned; none: a direct
    // connection). A reconnect takes the same route.
    conf_proxy* proxy;
};

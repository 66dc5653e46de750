// The "curl" driver's own parts: its handle, the URL and query handling,
// the transfer options and the two kinds of transfer (the size probe and a
// ranged read).
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

#include "libblock/bd.h"
#include "libnet/proxy_conf.h"

// The entry points of the transfer library that the driver calls. The
// library is loaded at the first open (curl_lib_start), not at start-up;
// only the types and constants of its headers are compiled in.
struct curl_api {
    CURLcode (*global_init)(long flags);
    void (*global_cleanup)();
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL* c);
    CURLcode (*easy_setopt)(CURL* c, CURLoption opt, ...);
    CURLcode (*easy_getinfo)(CURL* c, CURLINFO info, ...);
    CURLcode (*easy_perform)(CURL* c);
    const char* (*easy_strerror)(CURLcode rc);
    CURLM* (*multi_init)();
    CURLMcode (*multi_cleanup)(CURLM* m);
    CURLMcode (*multi_add_handle)(CURLM* m, CURL* c);
    CURLMcode (*multi_remove_handle)(CURLM* m, CURL* c);
    CURLMcode (*multi_perform)(CURLM* m, int* running);
    CURLMsg* (*multi_info_read)(CURLM* m, int* left);
    CURLMcode (*multi_poll)(CURLM* m, struct curl_waitfd fds[], unsigned nfds, int timeout_ms, int* ret);
};
// The library's entry points: set once curl_lib_start has succeeded, and
// kept to the end of the process.
extern curl_api g_curl;

// Loads the library (once per process, thread safe) and runs
// curl_global_init (CURL_GLOBAL_ALL) when it has not run since the last
// curl_lib_stop. 0, or -1 with the device's error record filled: code -1
// with a text naming the library and what is missing in it, or
// "curl_global_init failed".
int curl_lib_start(bd_dev* dev);
// curl_global_cleanup when the library was started; nothing otherwise.
void curl_lib_stop();

// Protocol codes of a URL.
enum : int32_t {
    CURL_PROTO_HTTP = 1,
    CURL_PROTO_HTTPS = 2,
    CURL_PROTO_FTP = 4,
    CURL_PROTO_FTPS = 8,
    CURL_PROTO_SCP = 16,
    CURL_PROTO_SFTP = 32,
};

// The driver's handle: one per open device.
struct bd_curl_handle {
    CURL* curl;
    conf_proxy proxy;
    uint32_t connect_timeout;  // seconds
    uint32_t read_timeout;     // seconds: the whole of one transfer
    char* cookie;              // the texts below are owned; each may be absent
    char* user;
    char* password;
    char* ftpport;
    int32_t debug;
    // Where the body of the running transfer goes: the write callback
    // copies at most cap bytes there.
    void* buf;
    int64_t cap;
    int64_t filled;
    int32_t proto;
    uint8_t tls;
    uint64_t pos;  // absolute: the window start included

    // The caller's stop request (the open's parameter), or none.
    stop_flag* stop;
    bd_dev* dev;
    // State of the running transfer: the bytes did not fit the target (the
    // transfer was ended on purpose), and for a ranged HTTP read the start
    // asked for, the answer's status and the start its Content-Range names
    // (-1 when none), whether the first body bytes were checked against
    // them and whether they were refused.
    uint8_t full;
    uint8_t check_range;
    uint8_t range_checked;
    uint8_t range_refused;
    int64_t req_start;
    long status;
    int64_t range_start;
    // The answer's headers: whether the running answer names a Location
    // (a redirect that is followed), and whether the headers of the final
    // answer have ended.
    uint8_t location;
    uint8_t head_done;
};

// Protocol code of a URL's prefix (letters compared without regard to
// case): one of CURL_PROTO_*, or -1.
int32_t curl_proto_code(const char* url);
// 1 for the protocols that run over TLS (https, ftps, scp, sftp).
uint8_t curl_proto_tls(int32_t proto);

// Reads the options of the query (the text after the URL's "?") into the
// handle: the proxy (through the proxy settings), the time-outs, the
// credentials, the cookie, the FTP port and the debug flag. 0, or -1 with
// the device's error record filled.
// host: the server the device reaches, which no_proxy may let go direct.
int curl_read_query(bd_curl_handle* h, const char* query, const char* host);
// The URL handed to the library: without its user and password (those go
// through their own options), and for HTTP and HTTPS with the query keys
// that the block layer and this driver read taken out; other protocols get
// no query. 0, or -1 when it does not fit out.
int curl_transfer_url(const char* url, int32_t proto, char* out, size_t size);
// The user and password of the URL, percent-decoded, as new texts in the
// handle (each only when present).
int curl_url_login(bd_curl_handle* h, const char* url);

// Sets the options of an easy handle for one URL. 0, or -1 with the
// device's error record filled when the library refuses one.
int curl_init_state(bd_curl_handle* h, const char* url, CURL* state);
// The size probe: the resource's length into *len (-1 when it stays
// unknown). A transfer ends at the first body byte, or 300 ms after the
// headers of the final answer at the latest. 0, or -1 with the device's
// error record filled.
int curl_get_len(bd_curl_handle* h, const char* url, int64_t* len);
// The read slot: len bytes at the window-relative offset off (-1: the
// current position) into buf. The bytes read, or -1.
int64_t url_read_file(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len);

// A text as a new owned copy (pl_free); false when it cannot be allocated.
bool curl_set_text(char** field, const char* text);

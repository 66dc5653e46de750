// Jobs the kxsd server runs over a remote file's own storage: hashing,
// byte counting and pattern writes, all carried by the control command 8
// as short tab-separated texts, with the version gates that keep them from
// servers that lack them; and the other control services of the client.
//
// A job belongs to the remote file (its fd goes with every request) and
// lives on the server until the file is closed; the client keeps nothing of
// it. After each step the server's state text goes back to the caller, who
// hands it to a later start to continue the job.
//
// Calls return 0, or -1 with the connection's error record filled; a server
// whose version predates a call gets no request: -12 and the upgrade text
// (KXSD_UPGRADE_TEXT), unless a call says otherwise. Nothing is retried.
//
// Log tag "sdcli".
#pragma once

#include <cstddef>
#include <cstdint>

#include "libkxsd/kxsd_handle.h"

// The largest range one step request can carry: its length goes on the
// wire as a 32-bit number. Longer ranges are refused (-2), never cut.
inline constexpr uint64_t KXSD_CAL_MAX_LEN = 0xFFFFFFFFull;
// The hash algorithm mask of servers below 1.6.3: every algorithm but the
// two "xxh3" ones.
inline constexpr uint64_t KXSD_HASH_ALGO_OLD = 1023;

// The common path of the control command 8: any handle (connection, file,
// directory) to its connection and remote fd, the request, the error
// record. At most ans_size bytes of the answer go to ans (a NUL follows
// when there is room), their count to *ans_len (may be none). A bad handle
// gives -1 without a request.
int kxsd_cli_ioctl2(void* handle, int32_t code, const void* data, int32_t len, void* ans, int32_t ans_size,
                    int32_t* ans_len);

// ---- hashing (server 1.5.9; hash_flag bits of 1024 and above need 1.6.3)
// Starts the file's hash job: the algorithms, the block size of the
// per-block algorithms (below 4 GiB), the thread count (a signed byte)
// and the state text of an earlier job ("" to start afresh).
int kxsd_cli_hash_init(kxsd_file_ctx* file, uint32_t hash_flag, uint64_t bs, int8_t thread, const char* state);
// Hashes [offset, offset + length) (length at most KXSD_CAL_MAX_LEN) and
// leaves the job's state text in buf. A state that does not fit size
// bytes with its NUL fails (-41): a cut state would resume a wrong job.
int kxsd_cli_hash_cal(kxsd_file_ctx* file, int64_t offset, uint64_t length, char* buf, size_t size);
// The final digest of one algorithm bit, as raw bytes. An answer shorter
// than the algorithm's digest fails (-466 "read data content error").
int kxsd_cli_hash_get(kxsd_file_ctx* file, uint32_t alg, void* buf, size_t size);
// The per-block digests of the last step as text (server 1.6.8); a
// missing buffer returns 0 without a request.
int kxsd_cli_hash_get2(kxsd_file_ctx* file, char* buf, size_t size);
// The hash_flag mask the server supports (1.6.3; below it
// KXSD_HASH_ALGO_OLD without a request).
int kxsd_cli_get_hash_algo(kxsd_file_ctx* file, uint64_t* mask);

// ---- byte counting (server 1.6.2)
// Starts the file's count job: a caller word, the block size (below 4
// GiB), the thread count and the saved counters text ("%llx," list).
int kxsd_cli_bcount_init(kxsd_file_ctx* file, int32_t word, uint64_t bs, int8_t thread, const char* counters);
// Counts [offset, offset + length) and leaves the 256 counters text in
// buf; a text that does not fit fails as the hash step does.
int kxsd_cli_bcount_cal(kxsd_file_ctx* file, int64_t offset, uint64_t length, char* buf, size_t size);

// ---- pattern writes
// Sets up the file's pattern writer (server 1.6.2; below it 0 without a
// request): a fill byte 0-255 or 256 for random bytes, and its block size.
int kxsd_cli_pwritex_init(kxsd_file_ctx* file, uint32_t value, uint64_t bs);
// Writes length bytes of the pattern at offset (server 1.5.2): ioctl2
// 10108 from 1.6.2, else command 50 with the mode (whose length field is a
// signed 32-bit number). Lengths the request cannot carry are refused
// (-2). The count the server reports, or -1 (also for a count that is not
// a number between 0 and length).
int64_t kxsd_cli_pwritex(kxsd_file_ctx* file, int32_t mode, uint64_t length, int64_t offset);

// ---- other services (no callers in the copy command)
// 10111 (1.6.7): volume snapshot mount; answer up to 4096 bytes.
int kxsd_cli_vss_mount(kxsd_cli_ctx* conn, const char* text, char* ans, size_t size);
// 10: the server's configuration lines. The answer's length, or -1.
int kxsd_cli_srv_conf(void* handle, char* buf, size_t size);
// 10 (1.6.1; below it 0 and *out 0 without a request): *out = 1 when the
// configuration's "allow_set_readonly" is exactly "0".
int kxsd_cli_allow_set_readonly(void* handle, int* out);
// 11: an account text of "key=value" lines (at most 8182 bytes); when both
// "user" and "passwd" have values, each is sent enciphered with the
// connection's login key.
int kxsd_cli_set_account(void* handle, const char* text);
// 10001: eleven tab-separated numbers of the answer.
int kxsd_cli_srv_numbers(void* handle, const char* text, uint64_t out[11]);
// 10002 (text), 10003 ("%s"), 10004 ("%s\t%s"): the answer's length, or -1.
int kxsd_cli_srv_text(void* handle, int32_t code, const char* a, const char* b, char* ans, size_t size);
// 10005 ("%s\t%s"). 0 or -1.
int kxsd_cli_srv_pair(void* handle, const char* a, const char* b);
// 10100: the server's disk tool with one of its argument forms; its
// output in ans. Arguments of 4096 bytes or more are refused.
int kxsd_cli_disk_scan(void* handle, char* ans, size_t size);
int kxsd_cli_disk_smart(void* handle, const char* dev, char* ans, size_t size);
int kxsd_cli_disk_test(void* handle, const char* type, const char* dev, char* ans, size_t size);
int kxsd_cli_disk_abort(void* handle, const char* dev, char* ans, size_t size);
// 10101: a text; the answer in ans. 0 or -1.
int kxsd_cli_srv_query(void* handle, const char* text, char* ans, size_t size);
// 10112. 0 or -1.
int kxsd_cli_srv_reset(void* handle);

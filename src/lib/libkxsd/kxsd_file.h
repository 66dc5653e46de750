// Remote files and directories on a connection: open and close, reads in
// requests of at most the connection's block size (with one restart of the
// connection after a failed large request), writes, the pass-through of
// packed blocks, seek, position, size, sync, truncate, the file control
// calls and directory listings.
//
// Offsets: KXSD_OFFSET_CUR (-1) is the current position; any other value
// is an absolute byte offset in the remote file. Failures return -1 (or
// none) with the connection's error record filled (kxsd_conn.h).
//
// A handle is used by the thread of its connection only.
//
// Log tag "sdcli".
#pragma once

#include <cstdint>

#include "libkxsd/kxsd_cli_ctx.h"
#include "libkxsd/kxsd_handle.h"
#include "libpal/os/os_file_types.h"

// Requests of a connection whose large read failed once: its block size
// from then on, and the largest chunk whose failure is never retried.
inline constexpr int32_t KXSD_SMALL_BLOCK = 204800;
// A reply larger than this that succeeded: the connection carries large
// requests, so a later failure is not a matter of size.
inline constexpr int32_t KXSD_LARGE_REPLY = 0x1FFFFF;

// Codes of kxsd_cli_ioctl below 5: the file layer's control codes with
// their records (os_file.h), carried to the server. Any other code goes as
// a command-20 control code with its data.
//   0 OS_FILE_GET_INFO   os_file_info (command 19)
//   1 OS_FILE_GET_ERROR  u64 out: error class of the last server errno (no request)
//   2 OS_FILE_GET_STAT   os_file_attr (command 21 or 26)
//   3 OS_FILE_SET_TIMES  os_file_times (command 22 or 27)
//   4 OS_FILE_LOCK       os_file_lock_req (command 23)

// ---- open and close
// Command 10 with the path and the open flags (os_pf_flags). The vss flag
// 0x10000 needs a server of 1.6.7 or later (-12 and the upgrade text, no
// request).
kxsd_file_ctx* kxsd_cli_open(kxsd_cli_ctx* conn, const char* path, uint32_t flags);
// Command 25 (the handle's flags are 0).
kxsd_file_ctx* kxsd_cli_open2(kxsd_cli_ctx* conn, const char* path, int32_t flag, int32_t mode);
// Command 24 (the handle's flags are 0).
kxsd_file_ctx* kxsd_cli_wopen(kxsd_cli_ctx* conn, const char* path, int32_t desire_access, int32_t share_mode,
                              int32_t creat_disp, int32_t flag_attrib, int64_t temp_handle);
// Command 11 while the channel has a socket; the handle is freed in any
// case. 0, or -1 when the request failed.
int kxsd_cli_close(kxsd_file_ctx* file);

// ---- data
// Up to len bytes into buf: fewer only at the end of the file. A failed
// request larger than KXSD_SMALL_BLOCK on a connection that never carried
// a reply above KXSD_LARGE_REPLY drops the connection's block size to
// KXSD_SMALL_BLOCK for good, restarts the connection (kxsd_cli_restart_work)
// and asks again from the same position; errors -258 and -102 and a stop
// request are never retried. The bytes read, or -1.
int64_t kxsd_cli_read(kxsd_file_ctx* file, void* buf, int64_t len, int64_t offset);
// One request in raw mode: the packed bytes of up to len plain bytes into
// buf, which must hold 2 * len bytes; their count to *zlen. The plain
// length, or -1.
int64_t kxsd_cli_readz(kxsd_file_ctx* file, void* buf, int64_t len, int64_t* zlen, int64_t offset);
// len bytes in requests of at most the block size. Writes are never
// retried. A server that writes fewer bytes than a request carried fails
// the write (-112 "short write ..."): the caller writes the whole range
// again rather than lose or shift the rest. len, or -1.
int64_t kxsd_cli_write(kxsd_file_ctx* file, const void* buf, int64_t len, int64_t offset);
// One request of zlen packed bytes holding len plain bytes. len, or -1 (a
// short server write included).
int64_t kxsd_cli_writez(kxsd_file_ctx* file, const void* buf, int64_t len, int64_t zlen, int64_t offset);

// ---- position and size
// Command 15; mode goes to the server unchanged (0 from the start, 1 from
// the current position, 2 from the end). The new offset, or -1.
int64_t kxsd_cli_seek(kxsd_file_ctx* file, int64_t offset, int32_t mode);
// The server's current offset, and the file's size, from the file
// information (command 19); -1 on failure.
int64_t kxsd_cli_tell(kxsd_file_ctx* file);
int64_t kxsd_cli_size(kxsd_file_ctx* file);
int kxsd_cli_sync(kxsd_file_ctx* file);
// Command 16, then the handle's position is refreshed (seek 0 from the
// current position). 0 or -1.
int kxsd_cli_truncate(kxsd_file_ctx* file, int64_t size);
// The connection's pack method id (0 none, 1 lz4); -1 for a bad handle.
int32_t kxsd_cli_get_pack_type(void* handle);

// ---- control calls (any handle: connection, file or directory)
// See the codes above. len is the data's length for the command-20 codes
// (KXSD_DATA_TEXT: a text with its NUL). 0 or -1.
int kxsd_cli_ioctl(void* handle, int32_t code, void* data, int32_t len);
// The server-side read and write time-outs of a file (codes 10100 and
// 10105, "%d" milliseconds); a failure is logged at warn. 0 or -1.
int kxsd_cli_set_fd_read_timeout(kxsd_file_ctx* file, int32_t ms);
int kxsd_cli_set_fd_write_timeout(kxsd_file_ctx* file, int32_t ms);
int kxsd_cli_fstat(void* handle, os_file_attr* attr);
int kxsd_cli_set_times(void* handle, const os_file_times* times);
int kxsd_cli_lock(void* handle, const os_file_lock_req* req);
// Code 10013 with the text.
int kxsd_cli_ioctl_text(void* handle, const char* text);
// ---- the other control codes of command 20 (any handle). The server gives
// them their meaning; the client builds the data text of each code's form
// and sends it with its NUL. Forms (kxsd_cli_ioctl_form):
//   10016                                      "%s\t%s\t%u"
//   10018, 10019, 10020, 10022, 10025, 10026,
//   10101                                      "%s\t%u"
//   10021                                      "%s\t%u\t%llu"
//   10023, 10024                               "%s\t%s"
//   10027, 10028                               "%s\t%u\t%u"
//   10029, 10030                               "%s\t%llu\t%llu\t%llu\t%u\t%u\t%u": a text, then the
//                                              access, write and create seconds and their nanoseconds
//   10035                                      "%s\t%lli"
//   10102, 10104                               "%u"
//   10103                                      "%u\t%u"
// Each wrapper takes the codes of its form only. A code of another form, or
// a text that is none or holds a tab or a line end (which would shift the
// fields), gives -1 with -2 in the error record and sends nothing. The
// reply carries nothing beyond the verdict. 0 or -1.
// The form of a code, or none for a code that has none of these.
const char* kxsd_cli_ioctl_form(int32_t code);
int kxsd_cli_ioctl_text2_num(void* handle, int32_t code, const char* text, const char* text2, uint32_t num);
int kxsd_cli_ioctl_text_num(void* handle, int32_t code, const char* text, uint32_t num);
int kxsd_cli_ioctl_text_num_u64(void* handle, int32_t code, const char* text, uint32_t num, uint64_t value);
int kxsd_cli_ioctl_text2(void* handle, int32_t code, const char* text, const char* text2);
int kxsd_cli_ioctl_text_num2(void* handle, int32_t code, const char* text, uint32_t num, uint32_t num2);
int kxsd_cli_ioctl_text_times(void* handle, int32_t code, const char* text, const os_file_times* times);
int kxsd_cli_ioctl_text_i64(void* handle, int32_t code, const char* text, int64_t value);
int kxsd_cli_ioctl_num(void* handle, int32_t code, uint32_t num);
int kxsd_cli_ioctl_num2(void* handle, int32_t code, uint32_t num, uint32_t num2);

// Stat of a path: command 6 or 7 (kxsd_cli_stat), command 28 (kxsd_cli_stat2).
int kxsd_cli_stat(kxsd_cli_ctx* conn, const char* path, os_file_attr* attr);
int kxsd_cli_stat2(kxsd_cli_ctx* conn, const char* path, os_file_attr* attr);

// Reconnects the file's connection, opens the path again (without the
// create and truncate flags: the file is there, and its data must stay),
// seeks to the handle's position and switches the pack method again. 0 or
// -1.
int kxsd_cli_restart_work(kxsd_file_ctx* file);

// ---- directories
// Command 41 (pattern none: every entry). The directory, or none.
kxsd_dir_ctx* kxsd_cli_opendir(kxsd_cli_ctx* conn, const char* path, const char* pattern);
kxsd_dir_ctx* kxsd_cli_opendir_all(kxsd_cli_ctx* conn, const char* path);
// The next entry (valid until the next call), or none at the end (error
// record clear) or on failure (error record filled). The entry's text and
// name are in the handle (text, name).
const os_file_attr* kxsd_cli_readdir(kxsd_dir_ctx* dir);
// Moves to an entry index (ioctl2 10050). 0 or -1.
int kxsd_cli_seekdir(kxsd_dir_ctx* dir, uint64_t index);
uint64_t kxsd_cli_telldir(const kxsd_dir_ctx* dir);
// Command 43 while the channel has a socket; the handle is freed in any case.
int kxsd_cli_closedir(kxsd_dir_ctx* dir);

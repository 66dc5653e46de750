// The command catalogue of the remote storage protocol: one request
// function per command the client sends, with the command numbers, the
// control sub-codes of the two generic control commands (8 and 20) and the
// records the replies fill.
//
// Every request function takes the connection first and returns a client
// status (KXSD_CLI_*, kxsd_proto.h): it builds the body in the connection's
// request buffer, sends it, reads and checks the reply and copies the reply
// fields to the caller's places. A non-zero "errno" from the server gives
// KXSD_CLI_SRV_ERR with the server's errno and text kept in the connection;
// the outputs are then untouched. None of these functions fills the error
// record: the public functions above them run kxsd_cli_set_last_error.
//
// Functions that pick a command by the server's version read the feature
// flags the connect learnt (long_stat: 1.5.3 or later). Which calls a
// server may get at all is decided by their callers (see kxsd_conn.h,
// kxsd_cli_ver_at_least).
//
// Log tag "sdcli".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "libkxsd/kxsd_cli_ctx.h"
#include "libpal/os/os_file_types.h"

// Command numbers (byte 3 of the request header).
enum : uint8_t {
    KXSD_CMD_LOGIN = 1,            // cli_init1
    KXSD_CMD_LOGOUT = 2,           // cli_logout, no reply
    KXSD_CMD_LSBLK = 3,
    KXSD_CMD_INFO = 4,
    KXSD_CMD_VOLUME_INFO = 5,
    KXSD_CMD_STAT = 6,             // short stat (servers below 1.5.3)
    KXSD_CMD_STAT_LONG = 7,        // long stat (1.5.3 and later)
    KXSD_CMD_IOCTL2 = 8,
    KXSD_CMD_PUT_DATA = 9,
    KXSD_CMD_OPEN = 10,
    KXSD_CMD_CLOSE = 11,
    KXSD_CMD_READ = 12,            // at the server's current position
    KXSD_CMD_WRITE = 13,
    KXSD_CMD_SYNC = 14,
    KXSD_CMD_SEEK = 15,
    KXSD_CMD_TRUNCATE = 16,
    KXSD_CMD_FILE_INFO = 19,
    KXSD_CMD_FILE_IOCTL = 20,
    KXSD_CMD_FSTAT = 21,
    KXSD_CMD_SET_TIMES = 22,
    KXSD_CMD_LOCK = 23,
    KXSD_CMD_WOPEN = 24,
    KXSD_CMD_OPEN2 = 25,
    KXSD_CMD_FSTAT_LONG = 26,
    KXSD_CMD_SET_TIMES_LONG = 27,
    KXSD_CMD_STAT2 = 28,
    KXSD_CMD_PREAD = 29,           // at an offset (1.6.4 and later)
    KXSD_CMD_PWRITE = 30,
    KXSD_CMD_OPENDIR = 41,
    KXSD_CMD_READDIR = 42,         // short listing lines (below 1.5.3)
    KXSD_CMD_CLOSEDIR = 43,
    KXSD_CMD_READDIR_LONG = 44,
    KXSD_CMD_PWRITEX = 50,         // pattern write (1.5.2 to below 1.6.2)
    KXSD_CMD_LOGIN2 = 90,          // challenge login, first step
    KXSD_CMD_LOGIN3 = 91,          // challenge login, second step
};

// Control sub-codes of command 20 (cli_file_ioctl); the fd is the file's,
// or 0 for the connection itself.
enum : int32_t {
    KXSD_IOCTL_TEXT = 10013,           // a caller's text
    KXSD_IOCTL_PACK = 10001,           // pack method name, "none" or "lz4"
    KXSD_IOCTL_READ_TIMEOUT = 10100,   // "%d" milliseconds
    KXSD_IOCTL_WRITE_TIMEOUT = 10105,  // "%d" milliseconds
};

// Control sub-codes of command 8 (cli_ioctl2). A separate code space from
// command 20's.
enum : int32_t {
    KXSD_IOCTL2_SRV_CONF = 10,            // key=value lines of the server's configuration
    KXSD_IOCTL2_SET_ACCOUNT = 11,
    KXSD_IOCTL2_CTX_OPEN = 101,
    KXSD_IOCTL2_CTX_ID = 102,
    KXSD_IOCTL2_GET_LAST_CMD_IDX = 103,
    KXSD_IOCTL2_ATTACH_CTX = 104,
    KXSD_IOCTL2_ATTACH_CTX_REPLY = 105,   // no reply of its own
    KXSD_IOCTL2_CTX_RUN_STATUS = 106,
    KXSD_IOCTL2_CTX_REQ_STOP = 107,
    KXSD_IOCTL2_DIR_SEEK = 10050,         // "%llu" entry index
    KXSD_IOCTL2_DISK_TOOL = 10100,
    KXSD_IOCTL2_HASH_INIT = 10103,        // "%llx\t%u\t%u\t%u\t%s"
    KXSD_IOCTL2_HASH_CAL = 10104,         // "%lld\t%u" -> state text
    KXSD_IOCTL2_HASH_GET = 10105,         // "%u" -> digest bytes
    KXSD_IOCTL2_BCOUNT_INIT = 10106,      // "%llx\t%d\t%u\t%d\t%s"
    KXSD_IOCTL2_BCOUNT_CAL = 10107,       // "%lld\t%u" -> counters text
    KXSD_IOCTL2_PWRITEX = 10108,          // "%lld\t%u" -> decimal count
    KXSD_IOCTL2_PWRITEX_INIT = 10109,     // "%llx\t%u\t%u"
    KXSD_IOCTL2_HASH_ALGO = 10110,        // -> hexadecimal hash_flag mask
    KXSD_IOCTL2_VSS_MOUNT = 10111,
    KXSD_IOCTL2_HASH_GET2 = 10113,        // -> per-block digests of the last step
};

// The offset of a read or write that means "the server's current position".
inline constexpr int64_t KXSD_OFFSET_CUR = -1;
// A data length of -1 in the control calls: the text's length plus its NUL.
inline constexpr int32_t KXSD_DATA_TEXT = -1;
// The largest certificate text of the challenge login, and its buffer.
inline constexpr size_t KXSD_CERT_SIZE = 257;

// Answer of command 5.
struct kxsd_volume_info {
    uint32_t flags;
    uint32_t name_len;
    uint64_t avail_bytes;
    uint64_t free_bytes;
    uint64_t total_bytes;
    char fs_name[16];
    char vol_name[256];
};

// ---- login and server information
// Command 1. "os_type" of the reply goes to the connection whenever the
// reply carries it, an error reply included.
int32_t cli_init1(kxsd_cli_ctx* conn, const char* user, const char* passwd);
// Command 90 with the user and "ver" 1: the reply's "ver" and "cert" (cut
// to cert_size - 1 characters; KXSD_CERT_SIZE holds every valid one).
int32_t cli_init2(kxsd_cli_ctx* conn, const char* user, int32_t* ver, char* cert, size_t cert_size);
// Command 91 with the login key.
int32_t cli_init3(kxsd_cli_ctx* conn, const char* lkey);
// Command 2; no reply is read. The send's status.
int32_t cli_logout(kxsd_cli_ctx* conn);
// Commands 3 and 4 with an empty "param": the answer text, cut to size.
int32_t cli_lsblk(kxsd_cli_ctx* conn, char* buf, size_t size);
int32_t cli_info(kxsd_cli_ctx* conn, char* buf, size_t size);
// Command 5.
int32_t cli_volume_info(kxsd_cli_ctx* conn, const char* path, kxsd_volume_info* out);

// ---- stat: the short reply (servers below 1.5.3) sets the nanoseconds to
// 0 and leaves the six st_ fields (nlink .. blocks) untouched.
int32_t cli_stat(kxsd_cli_ctx* conn, const char* path, os_file_attr* attr);  // 6 or 7
int32_t cli_stat2(kxsd_cli_ctx* conn, const char* path, os_file_attr* attr); // 28
int32_t cli_fstat(kxsd_cli_ctx* conn, int64_t fd, os_file_attr* attr);       // 21 or 26
// 22 (seconds) or 27 (with nanoseconds): access, write and create times.
int32_t cli_set_times(kxsd_cli_ctx* conn, int64_t fd, const os_file_times* times);

// ---- files
// Command 10: the open flags (os_pf_flags) go as the int64 "mode".
int32_t cli_open(kxsd_cli_ctx* conn, const char* path, uint32_t flags, int64_t* fd);
int32_t cli_open2(kxsd_cli_ctx* conn, const char* path, int32_t flag, int32_t mode, int64_t* fd);  // 25
// Command 24 (its "sec_attrib" is always empty).
int32_t cli_wopen(kxsd_cli_ctx* conn, const char* path, int32_t desire_access, int32_t share_mode,
                  int32_t creat_disp, int32_t flag_attrib, int64_t temp_handle, int64_t* fd);
int32_t cli_close(kxsd_cli_ctx* conn, int64_t fd);
int32_t cli_sync(kxsd_cli_ctx* conn, int64_t fd);
// Command 15: the server's new offset goes to *new_offset (may be none).
int32_t cli_seek(kxsd_cli_ctx* conn, int64_t fd, int64_t offset, int64_t mode, int64_t* new_offset);
int32_t cli_truncate(kxsd_cli_ctx* conn, int64_t fd, int64_t len);
// Command 19: type, size, current offset, sector size, description (cut to 127).
int32_t cli_file_info(kxsd_cli_ctx* conn, int64_t fd, os_file_info* info);
// Command 23: op, start and length as "type", "offset" and "len".
int32_t cli_lock(kxsd_cli_ctx* conn, int64_t fd, const os_file_lock_req* req);

// ---- data
// Reads up to len bytes: command 12 when offset is KXSD_OFFSET_CUR, else 29
// at the offset (only for servers with offsets, 1.6.4 and later).
//   raw 0: the data is unpacked with the connection's pack method into buf
//          (capacity len); *plain_len gets the unpacked count and
//          *packed_len the packed one. Data that does not unpack into len
//          bytes, or not to the reply's own "len", gives KXSD_CLI_UNPACK_ERR.
//   raw 1: the packed bytes are copied as they are into buf, which must
//          hold 2 * len bytes: packed data longer than that, a plain
//          length ("len" of the reply) outside 0..len, or packed data that
//          does not unpack to exactly that length, gives
//          KXSD_CLI_UNPACK_ERR. *plain_len gets the plain length and
//          *packed_len the packed count.
// Either out pointer may be none.
int32_t cli_read_imp(kxsd_cli_ctx* conn, int64_t fd, void* buf, int32_t len, int32_t* plain_len,
                     int32_t* packed_len, int raw, int64_t offset);
// Writes len plain bytes: command 13 when offset is KXSD_OFFSET_CUR, else 30.
//   raw 0: buf holds len plain bytes, packed straight into the body (room
//          for the worst case is reserved first; packed_len is not used).
//   raw 1: buf holds packed_len packed bytes of len plain bytes.
// *out_len gets the count the server reports; a count outside 0..len gives
// KXSD_CLI_DATA_ERR. No room in the body: KXSD_CLI_MEM_ERR; packing
// fails: KXSD_CLI_UNPACK_ERR; nothing is sent in either case.
int32_t cli_write_imp(kxsd_cli_ctx* conn, int64_t fd, const void* buf, int32_t len, int32_t* out_len,
                      int32_t packed_len, int raw, int64_t offset);
// Command 9: len bytes stored as file name in directory path (packed on
// the wire like a write). *out_len gets the reply's "len".
int32_t cli_put_data(kxsd_cli_ctx* conn, const char* path, const char* name, int32_t flags, const void* buf,
                     int32_t len, int32_t* out_len);
// Command 50: pattern write of len bytes at offset. *out_len gets the count.
int32_t cli_pwritex(kxsd_cli_ctx* conn, int64_t fd, int32_t mode, int32_t len, int64_t offset, int32_t* out_len);

// ---- control calls
// Command 20 with the code, the data and its length (KXSD_DATA_TEXT: the
// text's length plus its NUL; no data: an empty field). After an accepted
// KXSD_IOCTL_PACK the data names the connection's pack method and its pack
// context is opened again by that name; a method the client cannot open
// gives -1 (the context then stays closed).
int32_t cli_file_ioctl(kxsd_cli_ctx* conn, int64_t fd, int32_t code, const void* data, int32_t dlen);
// Command 8 with the code, the data (KXSD_DATA_TEXT as above) and "olen" =
// ans_size. At most ans_size bytes of the answer are copied to ans, their
// count to *ans_len (may be none); when fewer than ans_size bytes were
// copied a NUL follows them. Code 105 returns after the send without
// reading a reply. For codes 100 to 110 the resume switch is held off while
// the reply is read.
int32_t cli_ioctl2(kxsd_cli_ctx* conn, int64_t fd, int32_t code, const void* data, int32_t dlen, void* ans,
                   int32_t ans_size, int32_t* ans_len);
// cli_ioctl2 for answers that are texts: at most ans_size - 1 bytes are
// copied and a NUL always follows them, so the answer can be read as a
// text whatever the server sent. *ans_len gets the count copied.
int32_t cli_ioctl2_text(kxsd_cli_ctx* conn, int64_t fd, int32_t code, const void* data, int32_t dlen, char* ans,
                        int32_t ans_size, int32_t* ans_len);

// ---- directories
// Command 41 (pattern none: the empty text).
int32_t cli_opendir(kxsd_cli_ctx* conn, const char* path, const char* pattern, int64_t* fd);
// Command 42, or 44 with long stat: a listing of at most size bytes,
// unpacked into buf (capacity size); *out_len gets the unpacked length.
int32_t cli_readdir(kxsd_cli_ctx* conn, int64_t fd, void* buf, int32_t size, int32_t* out_len);
int32_t cli_closedir(kxsd_cli_ctx* conn, int64_t fd);

// One entry of a listing: its numbers, the text before the name (kept up
// to 511 characters) and the name (up to 4095).
struct kxsd_dir_entry {
    os_file_attr attr;
    char text[512];
    char name[4096];
};
// Splits one listing line (without its "\n"): 8 tab-separated numbers
// (short form) or 17 (long_form), then the text and the name, which is
// the line's last tab-separated field. 0, or -1 when the numbers are
// missing or not numbers (entry then undefined). The short form leaves the
// nanoseconds 0 and the st_ fields 0.
int kxsd_dir_line_parse(std::string_view line, bool long_form, kxsd_dir_entry* entry);

#include "kxdd_opts.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libpal/hash/file_hash.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_size.h"
#include "libpal/string/str_util.h"
#include "liblog/log2.h"

#define WORDS(...) __VA_ARGS__ "\0"

const char k_dd_keys[] = WORDS(
    "bs\0count\0seek\0skip\0offset\0if\0of\0status\0proxy\0proxy_url\0ibs\0obs\0conv\0iflag\0oflag\0level\0"
    "retry_open\0bad_fill_str\0bad_skip_sectors\0bad_retry_count\0retry_timeout_minutes\0retry_delay_seconds\0"
    "disable_os_hibernate\0disable_pack_transport\0cool_down\0bs_count\0clear_mode\0hash_mode\0bcount_mode\0"
    "diff_mode\0diff_max_count\0sync_mode");
const char k_conv_words[] = WORDS(
    "notrunc\0sync\0noerror\0fsync\0swab\0resume\0bad_read\0off_blocks\0cal_one_task\0cal_force_local");
const char k_iflag_words[] = WORDS("skip_bytes\0direct\0file\0vss");
const char k_oflag_words[] = WORDS("seek_bytes\0direct\0file");
const char k_status_words[] = WORDS("none\0noxfer\0md5\0sha1");

#undef WORDS

namespace {

// Index of each key in k_dd_keys.
enum key_index {
    K_BS, K_COUNT, K_SEEK, K_SKIP, K_OFFSET, K_IF, K_OF, K_STATUS, K_PROXY, K_PROXY_URL, K_IBS, K_OBS, K_CONV,
    K_IFLAG, K_OFLAG, K_LEVEL, K_RETRY_OPEN, K_BAD_FILL_STR, K_BAD_SKIP_SECTORS, K_BAD_RETRY_COUNT,
    K_RETRY_TIMEOUT_MINUTES, K_RETRY_DELAY_SECONDS, K_DISABLE_OS_HIBERNATE, K_DISABLE_PACK_TRANSPORT, K_COOL_DOWN,
    K_BS_COUNT, K_CLEAR_MODE, K_HASH_MODE, K_BCOUNT_MODE, K_DIFF_MODE, K_DIFF_MAX_COUNT, K_SYNC_MODE,
};

constexpr const char k_usage[] =
    "kxdd v1.7.2.0 (2024-2-29) [little] - convert and copy a file [staic]\n"
    "\n"
    "usage: kxdd [if=FILE] [of=FILE] [ibs=N] [obs=N] [bs=N] [count=N] [skip=N]\n"
    "[seek=N] conv=[notrunc|noerror|sync|fsync|resume]\n"
    "iflag=[skip_bytes|direct|file] oflag=[seek_bytes|direct|file]\n"
    "status=[noxfer|none|md5|sha1] retry=NUM level=[LEVEL]\n"
    "\tbs=BYTES    read and write BYTES bytes at a time\n"
    "\tibs=N       Read N bytes at a time\n"
    "\tobs=N       Write N bytes at a time\n"
    "\tcount=N     copy only N input blocksn\n"
    "\tseek=BLOCKS skip BLOCKS obs-sized blocks at start of output\n"
    "\tskip=BLOCKS skip BLOCKS ibs-sized blocks at start of input\n"
    "\toffset=BLOCKS offset BLOCKS at input and output default is bytes\n"
    "\tif=FILE     read from FILE instead of stdin\n"
    "\tof=FILE     write to FILE instead of stdout\n"
    "\tconv=CONVS  [notrunc,noerror,sync,fsync,swab,resume,]\n"
    "\tconv=notrunc   Don't truncate output file\n"
    "\tconv=noerror   Continue after read errors\n"
    "\tconv=bad_read  Allows damaged sector fills to continue reading\n"
    "\tconv=sync      Pad blocks with zeros\n"
    "\tconv=fsync     Physically write data out before finishing\n"
    "\tconv=swab      Swap every pair of bytes\n"
    "\tconv=resume    Continue writing at the end of the output file\n"
    "\tconv=off_blocks offset=N is in BLOCKS\n"
    "\tconv=cal_one_task [hash bcount] is computed using one thread\n"
    "\tconv=cal_force_local [hash bcount] force local calculation\n"
    "\tiflag=skip_bytes skip=N is in bytes\n"
    "\toflag=seek_bytes seek=N is in bytes\n"
    "\tiflag=direct   use direct I/O for data\n"
    "\tiflag=file Open as a file, otherwise parse as a supported image format\n"
    "\tiflag=vss   use windows shadow copy file\n"
    "\tretry_timeout_minutes=NUM  Retry limit time minutes\n"
    "\tretry_delay_seconds=NUM  Retry delay interval seconds\n"
    "\tbad_fill_str=STR Write Pattern dor damaged source sectors\n"
    "\tbad_skip_sectors=NUM Avoid damaged areas, skip sectors\n"
    "\tbad_retry_count=NUM maximum number of retries for a sector read error\n"
    "\tdisable_os_hibernate=[1|0] Prohibit os hibernate during operation\n"
    "\tdisable_pack_transport=[1|0] disable pack transport\n"
    "\tcool_down=[N-N] specify the duty-cycle for cooling down the device\n"
    "\tbs_count=[1-%d] The number of hash blocks is cal each time\n"
    "\tclear_mode=[00-100] 00-FF [100] clear characters for random\n"
    "\thash_mode=[md5|sha1|sha256|sha512|sm3|xxh3] Calculate hash [+p...]\n"
    "\tbcount_mode=[u8] Calculate the distribution of data\n"
    "\tdiff_mode=[byte|bs|bin] Compare mode\n"
    "\tdiff_max_count=[1-%d] Record the maximum number of different positions\n"
    "\tsync_mode=[auto] Synchronize file data\n"
    "\tstatus=noxfer  Suppress rate output\n"
    "\tstatus=none    Suppress all output\n"
    "\tstatus=md5     output MD5 value of copy data\n"
    "\tproxy_name=[name] kx_proxy.ini proxy_name\n"
    "\tproxy_url=[http|sock4|sock5] set proxy url\n"
    "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n"
    "\n"
    "\n"
    "may be suffixed by b(512), kB(1000), k(1024), MB(1000000), M, GB, G, TB, T\n";

// A value that is not a usable number: say which, then the usage text.
[[noreturn]] void bad_value(const char* key, const char* value) {
    LOG2(LOG2_ERR, "tag", "error: invalid value [%s] in [%s]\n", value, key);
    usage();
}

uint64_t parse_size(const char* key, const char* value) {
    uint64_t v;
    if (str_to_size_checked(value, &v) != 0) bad_value(key, value);
    return v;
}

// A block size must fit the signed 32-bit field: never cut it.
int32_t parse_block_size(const char* key, const char* value) {
    uint64_t v = parse_size(key, value);
    if (v > INT32_MAX) {
        LOG2(LOG2_ERR, "tag", "%s=%lli error range: [1-%lli]\n", key, static_cast<long long>(v > LLONG_MAX ? LLONG_MAX : v),
             static_cast<long long>(INT32_MAX));
        fflush(stderr);
        _exit(1);
    }
    return static_cast<int32_t>(v);
}

// A signed decimal read in full: leading blanks, an optional sign, digits.
bool read_decimal(const char* text, long long* out) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool neg = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') return false;
    unsigned long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (__builtin_mul_overflow(v, 10ull, &v) || __builtin_add_overflow(v, static_cast<unsigned>(*p - '0'), &v))
            return false;
    }
    if (*p) return false;
    if (v > static_cast<unsigned long long>(LLONG_MAX) + (neg ? 1 : 0)) return false;
    *out = neg ? static_cast<long long>(0 - v) : static_cast<long long>(v);
    return true;
}

// A number for a field that holds 0 to max.
uint64_t parse_unsigned(const char* key, const char* value, uint64_t max) {
    long long v;
    if (!read_decimal(value, &v) || v < 0 || static_cast<unsigned long long>(v) > max) bad_value(key, value);
    return static_cast<uint64_t>(v);
}

// A number for a signed 32-bit field with a lower bound: smaller values take the bound.
int32_t parse_at_least(const char* key, const char* value, int32_t min) {
    long long v;
    if (!read_decimal(value, &v) || v > INT32_MAX) bad_value(key, value);
    return v < min ? min : static_cast<int32_t>(v);
}

// "clear_mode": hexadecimal, 00 to FF a byte, 100 random bytes.
uint32_t parse_clear_mode(const char* key, const char* value) {
    const char* p = value;
    while (*p == ' ' || *p == '\t') ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    if (!*p) bad_value(key, value);
    uint32_t v = 0;
    for (; *p; ++p) {
        int d;
        if (*p >= '0' && *p <= '9') d = *p - '0';
        else if (*p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
        else bad_value(key, value);
        v = v * 16 + static_cast<uint32_t>(d);
        if (v > 0x100) bad_value(key, value);
    }
    return v;
}

// "cool_down": N and M minutes joined by "-" (or, when there is none, "_").
void parse_cool_down(dd_opts* o, const char* key, const char* value) {
    const char* sep = strchr(value, '-');
    if (!sep) sep = strchr(value, '_');
    if (!sep) usage();
    char work[32];
    size_t n = static_cast<size_t>(sep - value);
    long long w, r;
    constexpr long long max_minutes = static_cast<long long>(UINT64_MAX / 60000 / 2);
    if (n >= sizeof work) bad_value(key, value);
    memcpy(work, value, n);
    work[n] = 0;
    if (!read_decimal(work, &w) || !read_decimal(sep + 1, &r) || w < 0 || r < 0 || w > max_minutes || r > max_minutes)
        bad_value(key, value);
    o->cool_down_work = static_cast<uint64_t>(w) * 60000;
    o->cool_down_rest = static_cast<uint64_t>(r) * 60000;
}

void set_text(char** field, const char* value) {
    pl_free(*field);
    *field = pl_strdup(value);
}

}  // namespace

[[noreturn]] void usage() {
    fprintf(stderr, k_usage, 4096, 8192);
    fflush(stderr);
    _exit(1);
}

uint32_t parse_comma_flags(char* text, const char* words, const char* key) {
    uint32_t bits = 0;
    char* piece = text;
    while (true) {
        char* comma = strchr(piece, ',');
        if (comma) *comma = 0;
        int idx = str_list_index(words, piece);
        if (idx < 0) LOG2(LOG2_CRIT, "tag", "error: invalid arg [%s] in [%s]\n", piece, key);
        else bits |= 1u << (idx % 32);
        if (!comma) break;
        *comma = ',';
        piece = comma + 1;
    }
    return bits;
}

void kxdd_parse_operands(dd_opts* o, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (strcmp(arg, "--") == 0) continue;
        char* eq = strchr(arg, '=');
        if (!eq) usage();
        *eq = 0;
        int key = str_list_index(k_dd_keys, arg);
        *eq = '=';
        if (key < 0) usage();
        char* value = eq + 1;
        char name[32];
        snprintf(name, sizeof name, "%.*s", static_cast<int>(eq - arg), arg);

        switch (key) {
        case K_BS:
            o->ibs = o->obs = parse_block_size("ibs", value);
            break;
        case K_COUNT:
            o->count = parse_size(name, value);
            o->flags |= DD_F_COUNT;
            break;
        case K_SEEK:
            o->seek = parse_size(name, value);
            break;
        case K_SKIP:
            o->skip = parse_size(name, value);
            break;
        case K_OFFSET:
            o->seek = o->skip = parse_size(name, value);
            o->flags |= DD_F_SKIP_BYTES | DD_F_SEEK_BYTES;
            break;
        case K_IF:
            set_text(&o->in_name, value);
            break;
        case K_OF:
            set_text(&o->out_name, value);
            break;
        case K_STATUS:
            o->flags |= parse_comma_flags(value, k_status_words, name) << 24;
            break;
        case K_PROXY:
            set_text(&o->proxy, value);
            break;
        case K_PROXY_URL:
            set_text(&o->proxy_url, value);
            break;
        case K_IBS:
            o->ibs = parse_block_size(name, value);
            break;
        case K_OBS:
            o->obs = parse_block_size(name, value);
            break;
        case K_CONV:
            o->flags |= parse_comma_flags(value, k_conv_words, name);
            break;
        case K_IFLAG: {
            uint32_t bits = parse_comma_flags(value, k_iflag_words, name) << 16;
            o->flags |= bits;
            if (bits & DD_F_IIMAGE) o->flags &= ~DD_F_IIMAGE;
            break;
        }
        case K_OFLAG: {
            uint32_t bits = parse_comma_flags(value, k_oflag_words, name) << 20;
            o->flags |= bits;
            if (bits & DD_F_OIMAGE) o->flags &= ~DD_F_OIMAGE;
            break;
        }
        case K_LEVEL:
            log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, value);
            break;
        case K_RETRY_OPEN:
            o->retry_open = static_cast<uint32_t>(parse_unsigned(name, value, UINT32_MAX));
            o->retry_mode = 2;
            break;
        case K_BAD_FILL_STR:
            (void)str_safecopy(o->bad_fill_str, value);
            break;
        case K_BAD_SKIP_SECTORS:
            o->bad_skip_sectors = static_cast<uint32_t>(parse_unsigned(name, value, UINT32_MAX));
            break;
        case K_BAD_RETRY_COUNT:
            o->bad_retry_count = static_cast<uint32_t>(parse_unsigned(name, value, UINT32_MAX));
            break;
        case K_RETRY_TIMEOUT_MINUTES:
            o->retry_timeout_minutes = static_cast<uint32_t>(parse_unsigned(name, value, UINT32_MAX));
            o->retry_mode = 1;
            break;
        case K_RETRY_DELAY_SECONDS:
            o->retry_delay_seconds = static_cast<uint32_t>(parse_unsigned(name, value, UINT32_MAX));
            break;
        case K_DISABLE_OS_HIBERNATE:
            o->disable_os_hibernate = static_cast<uint8_t>(parse_unsigned(name, value, UINT8_MAX));
            break;
        case K_DISABLE_PACK_TRANSPORT:
            o->disable_pack_transport = static_cast<uint8_t>(parse_unsigned(name, value, UINT8_MAX));
            break;
        case K_COOL_DOWN:
            parse_cool_down(o, name, value);
            break;
        case K_BS_COUNT:
            o->bs_count = parse_at_least(name, value, 1);
            break;
        case K_CLEAR_MODE:
            o->clear_mode = parse_clear_mode(name, value);
            o->mode = DD_MODE_CLEAR;
            break;
        case K_HASH_MODE: {
            int32_t h = file_hash_flag_parse(value);
            if (h < 0) usage();
            o->mode = DD_MODE_HASH;
            o->hash_mode = static_cast<uint32_t>(h);
            o->bs_count = 32;
            break;
        }
        case K_BCOUNT_MODE:
            o->mode = DD_MODE_BCOUNT;
            o->bs_count = 32;
            break;
        case K_DIFF_MODE:
            o->mode = DD_MODE_DIFF;
            o->hash_mode = 0;
            if (strcmp(value, "byte") == 0) {
                o->diff_mode = MDIFF_BYTE_MODE;
            } else if (strcmp(value, "bs") == 0) {
                o->diff_mode = MDIFF_BS_MODE;
            } else if (strcmp(value, "bin") == 0) {
                o->mode = DD_MODE_DIFF_BIN;
                o->diff_mode = MDIFF_BYTE_MODE;
            } else {
                usage();
            }
            o->diff_max_count = 8;
            o->bs_count = 512;
            o->ibs = o->obs = DD_BS_DIFF;
            break;
        case K_DIFF_MAX_COUNT:
            o->diff_max_count = parse_at_least(name, value, 0);
            break;
        case K_SYNC_MODE:
            o->mode = DD_MODE_SYNC;
            o->bs_count = 512;
            o->ibs = o->obs = DD_BS_DIFF;
            break;
        }
    }
}

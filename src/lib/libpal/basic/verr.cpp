// Status codes: the message table, error records, errno texts and the
// mapping between errno values and status codes.
#include "libpal/basic/verr.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "liblog/log2.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"

namespace {

constexpr verr_row g_verr_rows[] = {
#include "libpal/basic/verr_table.inc"
};

consteval bool verr_rows_unique() {
    for (size_t i = 0; i < std::size(g_verr_rows); i++) {
        for (size_t j = i + 1; j < std::size(g_verr_rows); j++) {
            if (g_verr_rows[i].code == g_verr_rows[j].code) return false;
        }
    }
    return true;
}

static_assert(std::size(g_verr_rows) == 258, "the status table has 258 rows");
static_assert(g_verr_rows[0].code == 0, "success comes first");
static_assert(verr_rows_unique(), "no status code occurs twice");

constexpr const char* k_invalid_code = "Invalid error code";

// errno texts of the calling thread, one buffer per form so that two of them
// can appear in one formatted line.
constexpr size_t k_errno_text_size = 256;
thread_local char t_strerror_buf[k_errno_text_size];
thread_local char t_strerror2_buf[k_errno_text_size];
thread_local char t_errno_str_buf[k_errno_text_size];

// strerror_r comes in two shapes: the GNU one returns the text (which may be
// a constant string, not the buffer), the POSIX one fills the buffer.
[[maybe_unused]] const char* strerror_result(char* text, char*) {
    return text;
}
[[maybe_unused]] const char* strerror_result(int rc, char* buf) {
    return rc == 0 ? buf : "";
}

// Strips white space from both ends of a terminated text, in place.
void trim_in_place(char* text) {
    size_t len = strlen(text);
    while (len > 0 && str_is_space(text[len - 1])) len--;
    text[len] = '\0';
    size_t head = 0;
    while (head < len && str_is_space(text[head])) head++;
    if (head > 0) memmove(text, text + head, len - head + 1);
}

// Formats into buf (size bytes, terminator included), cutting a longer text.
// A formatting failure leaves an empty text.
void format_cut(char* buf, size_t size, const char* fmt, va_list ap) {
    buf[0] = '\0';
    if (fmt == nullptr) return;
    if (vsnprintf(buf, size, fmt, ap) < 0) buf[0] = '\0';
}

}  // namespace

std::span<const verr_row> verr_table() {
    return g_verr_rows;
}

const char* verr2str(int32_t code) {
    for (const verr_row& row : g_verr_rows) {
        if (row.code == code) return row.msg;
    }
    LOG2(LOG2_DBG, "pal", "Invalid errno=%d (0x%x)\n", code, static_cast<uint32_t>(code));
    return k_invalid_code;
}

void verr_set(verr_info* err, const char* file, uint32_t line, const char* func, int32_t code, const char* fmt,
              ...) {
    if (err == nullptr) return;
    // The arguments may point into err->message itself: format apart, then copy.
    char tmp[VERR_MSG_SIZE - 1];
    va_list ap;
    va_start(ap, fmt);
    format_cut(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    err->file = file;
    err->line = line;
    err->func = func;
    err->code = code;
    memcpy(err->message, tmp, strlen(tmp) + 1);
}

void verr_set_detail(verr_info* err, const char* file, uint32_t line, const char* func, int32_t code,
                     const char* detail, const char* fmt, ...) {
    if (err == nullptr) return;
    char tmp[VERR_MSG_SIZE];
    va_list ap;
    va_start(ap, fmt);
    format_cut(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    // The strict appends log an overflow and empty the text; the record then
    // shows its code's own message.
    int rc = str_safecat(tmp, sizeof tmp, ": ");
    if (rc == 0) rc = str_safecat(tmp, sizeof tmp, detail != nullptr ? detail : "");
    if (rc != 0) tmp[0] = '\0';
    err->file = file;
    err->line = line;
    err->func = func;
    err->code = code;
    memcpy(err->message, tmp, strlen(tmp) + 1);
}

int32_t verr_of_failed_errno(int e, int32_t none) { return e != 0 ? os_verr_get(e) : none; }

void verr_set_errno_at(verr_info* err, const char* file, uint32_t line, const char* func, int e, int32_t none) {
    if (e == 0) verr_set(err, file, line, func, none, "%s", verr2str(none));
    else verr_set(err, file, line, func, os_verr_get(e), "%s", os_errno_str(e));
}

const char* verr_msg(const verr_info* err) {
    if (err == nullptr) return "";
    return err->message[0] != '\0' ? err->message : verr2str(err->code);
}

void verr_copy(verr_info* dst, const verr_info* src) {
    if (dst == nullptr || src == nullptr || dst == src) return;
    dst->file = src->file;
    dst->func = src->func;
    dst->line = src->line;
    dst->code = src->code;
    (void)str_safecopy(dst->message, src->message);
}

char* os_strerror_r(int errnum, char* buf, size_t len) {
    if (buf == nullptr || len == 0) return buf;
    const int saved = errno;
    if (errnum == 0) {
        snprintf(buf, len, "%s", "ok");
        return buf;
    }
    char sys[k_errno_text_size];
    sys[0] = '\0';
    const char* text = strerror_result(strerror_r(errnum, sys, sizeof sys), sys);
    snprintf(buf, len, "%s", text != nullptr ? text : "");
    trim_in_place(buf);
    if (buf[0] == '\0') {
        snprintf(buf, len, "unkown os_errno=%u (0x%x)", static_cast<unsigned>(errnum),
                 static_cast<unsigned>(errnum));
    }
    errno = saved;
    return buf;
}

const char* os_strerror() {
    return os_strerror_r(errno, t_strerror_buf, sizeof t_strerror_buf);
}

const char* os_strerror2() {
    return os_strerror_r(errno, t_strerror2_buf, sizeof t_strerror2_buf);
}

const char* os_errno_str(int errnum) {
    return os_strerror_r(errnum, t_errno_str_buf, sizeof t_errno_str_buf);
}

// By name, never by number: the values differ between systems, and on this
// one several names share a value (ENOTSUP and EOPNOTSUPP, EDEADLOCK and
// EDEADLK, EWOULDBLOCK and EAGAIN); a shared value takes the first row's code.
int32_t os_verr_get(int errnum) {
    switch (errnum) {
    case 0: return VINF_SUCCESS;
    case EPERM:
    case EACCES: return -38;
    case ENOENT:
    case ENODEV: return -102;
    case ESRCH:
    case ECHILD: return -50;
    case EINTR: return -39;
    case EIO: return -250;
    case ENXIO: return -258;
    case E2BIG:
    case EOVERFLOW: return -42;
    case ENOEXEC: return -608;
    case EBADF: return -4;
    case EDEADLK: return -365;
    case ENOMEM: return -8;
    case EFAULT: return -6;
    case EBUSY: return -138;
    case EEXIST: return -105;
    case EXDEV: return -119;
    case ENOTDIR: return -103;
    case EISDIR: return -127;
    case EINVAL:
    case EDOM:
    case ERANGE: return -2;
    case EMFILE:
    case ENFILE: return -106;
    case ENOTTY: return -36;
    case ETXTBSY: return -114;
    case EFBIG: return -128;
    case ENOSPC:
    case EDQUOT: return -152;
    case ESPIPE: return -109;
    case EROFS: return -113;
    case EPIPE: return -301;
    case EAGAIN: return -52;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return -52;
#endif
    case EINPROGRESS: return -436;
    case EALREADY: return -437;
    case ENOTSOCK: return -438;
    case EDESTADDRREQ: return -439;
    case EMSGSIZE: return -440;
    case EPROTOTYPE: return -441;
    case ENOPROTOOPT: return -442;
    case EPROTONOSUPPORT: return -443;
    case ESOCKTNOSUPPORT: return -444;
    case ENOTSUP:
    case ENOSYS: return -37;
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP: return -445;
#endif
    case EPFNOSUPPORT: return -446;
    case EAFNOSUPPORT: return -447;
    case EADDRINUSE: return -448;
    case EADDRNOTAVAIL: return -449;
    case ENETDOWN: return -450;
    case ENETUNREACH: return -451;
    case ENETRESET: return -452;
    case ECONNABORTED: return -453;
    case ECONNRESET: return -454;
    case ENOBUFS: return -455;
    case EISCONN: return -456;
    case ENOTCONN: return -457;
    case ESHUTDOWN: return -458;
    case ETOOMANYREFS: return -459;
    case ETIMEDOUT: return -40;
    case ECONNREFUSED: return -461;
    case ELOOP: return -156;
    case ENAMETOOLONG: return -120;
    case EHOSTDOWN: return -464;
    case EHOSTUNREACH: return -465;
    case ENOTEMPTY: return -125;
#ifdef EPROCLIM
    case EPROCLIM: return -44;
#endif
    case ENOLCK: return -115;
    case EILSEQ: return -58;
    case ENODATA: return -304;
    case EPROTO: return -466;
    case ECANCELED: return VERR_CANCELLED;
    default: break;
    }
    LOG2(LOG2_WARN, "pal", "unkown eno=%d\n", errnum);
    return VERR_GENERAL_FAILURE;
}

// Each code gives the first errno name of its mapping row.
int verr_2_posix(int32_t code) {
    switch (code) {
    case VINF_SUCCESS: return 0;
    case VERR_GENERAL_FAILURE: return EPERM;
    case -38: return EPERM;
    case -102: return ENOENT;
    case -50: return ESRCH;
    case -39: return EINTR;
    case -250: return EIO;
    case -252:
    case -258: return ENXIO;
    case -42: return E2BIG;
    case -608: return ENOEXEC;
    case -4: return EBADF;
    case -365: return EDEADLK;
    case -8: return ENOMEM;
    case -6: return EFAULT;
    case -138: return EBUSY;
    case -105: return EEXIST;
    case -119: return EXDEV;
    case -103: return ENOTDIR;
    case -127: return EISDIR;
    case -2: return EINVAL;
    case -106: return EMFILE;
    case -36: return ENOTTY;
    case -114: return ETXTBSY;
    case -128: return EFBIG;
    case -152: return ENOSPC;
    case -109: return ESPIPE;
    case -113: return EROFS;
    case -301: return EPIPE;
    case -52: return EAGAIN;
    case -436: return EINPROGRESS;
    case -437: return EALREADY;
    case -438: return ENOTSOCK;
    case -439: return EDESTADDRREQ;
    case -440: return EMSGSIZE;
    case -441: return EPROTOTYPE;
    case -442: return ENOPROTOOPT;
    case -443: return EPROTONOSUPPORT;
    case -444: return ESOCKTNOSUPPORT;
    case -37: return ENOTSUP;
    case -445: return EOPNOTSUPP;
    case -446: return EPFNOSUPPORT;
    case -447: return EAFNOSUPPORT;
    case -448: return EADDRINUSE;
    case -449: return EADDRNOTAVAIL;
    case -450: return ENETDOWN;
    case -451: return ENETUNREACH;
    case -452: return ENETRESET;
    case -453: return ECONNABORTED;
    case -454: return ECONNRESET;
    case -455: return ENOBUFS;
    case -456: return EISCONN;
    case -457: return ENOTCONN;
    case -458: return ESHUTDOWN;
    case -459: return ETOOMANYREFS;
    case -40: return ETIMEDOUT;
    case -461: return ECONNREFUSED;
    case -156: return ELOOP;
    case -120: return ENAMETOOLONG;
    case -464: return EHOSTDOWN;
    case -465: return EHOSTUNREACH;
    case -125: return ENOTEMPTY;
#ifdef EPROCLIM
    case -44: return EPROCLIM;
#endif
    case -115: return ENOLCK;
    case -58: return EILSEQ;
    case -304: return ENODATA;
    case -466: return EPROTO;
    case VERR_CANCELLED: return ECANCELED;
    default: break;
    }
    LOG2(LOG2_WARN, "pal", "unkown verrno = %d\n", code);
    return EPERM;
}

void verr_set_errno(int32_t code) {
    errno = verr_2_posix(code);
}

void verr_set_errno2(int32_t code) {
    errno = verr_2_posix(code);
}

int verr_to_errno(int32_t code) {
    return verr_2_posix(code);
}

// Status codes: message table, error records, errno texts and the mapping
// between errno values and status codes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "liblog/log2.h"
#include "libpal/basic/verr.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

struct table_row {
    int32_t code;
    const char* msg;
    const char* area;
};

constexpr table_row k_rows[] = {
#include "verr_rows.inc"
};

constexpr const char* k_invalid = "Invalid error code";

// Owns a descriptor for the real-call tests.
struct fd_guard {
    int fd;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
};

// Expects exactly one captured line, at the level and with tag "pal", holding text.
void expect_one_line(const log_capture& cap, uint32_t level, const std::string& text) {
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u) << cap.all();
    EXPECT_EQ(lines[0].level, level);
    EXPECT_EQ(lines[0].tag, "pal");
    EXPECT_NE(lines[0].text.find(text), std::string::npos) << lines[0].text;
}

}  // namespace

// ---- message table ----

TEST(verr_table, fixture_has_the_fixed_shape) {
    ASSERT_EQ(std::size(k_rows), 258u);
    std::map<std::string, int> per_area;
    std::set<int32_t> codes;
    for (const auto& r : k_rows) {
        per_area[r.area]++;
        EXPECT_TRUE(codes.insert(r.code).second) << "code twice: " << r.code;
    }
    EXPECT_EQ(per_area["General"], 94);
    EXPECT_EQ(per_area["Files and paths"], 60);
    EXPECT_EQ(per_area["Directory search"], 4);
    EXPECT_EQ(per_area["Internal"], 10);
    EXPECT_EQ(per_area["Device input and output"], 9);
    EXPECT_EQ(per_area["Pipes"], 9);
    EXPECT_EQ(per_area["Semaphores and locks"], 28);
    EXPECT_EQ(per_area["Network"], 37);
    EXPECT_EQ(per_area["Executables and modules"], 5);
    EXPECT_EQ(per_area["Privileges"], 2);
}

TEST(verr_table, rows_in_order_with_their_texts) {
    auto table = verr_table();
    ASSERT_EQ(table.size(), std::size(k_rows));
    for (size_t i = 0; i < table.size(); i++) {
        EXPECT_EQ(table[i].code, k_rows[i].code) << "row " << i;
        EXPECT_STREQ(table[i].msg, k_rows[i].msg) << "row " << i;
    }
    // 0 first, then descending codes with the positive 203 between -202 and -225.
    EXPECT_EQ(table[0].code, 0);
    int32_t prev = 0;
    for (size_t i = 1; i < table.size(); i++) {
        if (table[i].code == 203) {
            EXPECT_EQ(table[i - 1].code, -202);
            EXPECT_EQ(table[i + 1].code, -225);
            continue;
        }
        EXPECT_LT(table[i].code, prev) << "row " << i;
        prev = table[i].code;
    }
}

TEST(verr_table, every_code_gives_its_text_without_logging) {
    log_capture cap;
    for (const auto& r : k_rows) EXPECT_STREQ(verr2str(r.code), r.msg) << r.code;
    EXPECT_EQ(cap.count(), 0u) << cap.all();
    // Texts shared by several codes and the single positive code.
    EXPECT_STREQ(verr2str(-231), "Internal error: Unexpected status code.");
    EXPECT_STREQ(verr2str(-460), "Too many references: can't splice.");
    EXPECT_STREQ(verr2str(203), "RTDirReadEx() failed to retrieve the extra data which was requested.");
    EXPECT_STREQ(verr2str(VINF_SUCCESS), "Success.");
}

TEST(verr_table, named_codes_match_their_rows) {
    const std::pair<int32_t, const char*> named[] = {
        {VERR_INVALID_PARAMETER, "Invalid parameter."},
        {VERR_NO_MEMORY, "Memory allocation failed."},
        {VERR_NOT_IMPLEMENTED, "The request function is not implemented."},
        {VERR_NOT_SUPPORTED, "Not supported."},
        {VERR_CANCELLED, "The operation was cancelled by the user (copy) or another thread (local ipc)."},
        {VERR_FILE_NOT_FOUND, "File not found."},
        {VERR_EOF, "Reached the end of the file."},
        {VERR_WRITE_PROTECT, "Write protect error."},
        {VERR_INVALID_FILE_HEAD, "Invalid file head data."},
        {VERR_DISK_FULL, "Disk is full."},
        {VERR_DEV_IO_ERROR, "Device i/o error."},
        {VERR_DEV_IO_CRC, "Device i/o: CRC error."},
        {VERR_BROKEN_PIPE, "Broken pipe."},
        {VERR_NET_CONNECTION_RESET, "Connection reset by peer."},
        {VERR_NET_CONNECTION_REFUSED, "Connection refused."},
    };
    for (const auto& [code, msg] : named) EXPECT_STREQ(verr2str(code), msg) << code;
}

TEST(verr_table, unknown_code_gives_fixed_text_and_one_dbg_line) {
    const int32_t unknown[] = {-14, -94, -160, -203, -235, -462, -1000, 1, 204, INT32_MIN, INT32_MAX};
    for (int32_t code : unknown) {
        log_capture cap;
        EXPECT_STREQ(verr2str(code), k_invalid) << code;
        char text[64];
        snprintf(text, sizeof text, "Invalid errno=%d (0x%x)", code, static_cast<unsigned>(code));
        expect_one_line(cap, LOG2_DBG, text);
    }
    log_capture cap;
    verr2str(-14);
    ASSERT_EQ(cap.count(), 1u);
    EXPECT_NE(cap.lines()[0].text.find("Invalid errno=-14 (0xfffffff2)"), std::string::npos);
}

// ---- errno <-> status code ----

namespace {

struct errno_case {
    int eno;
    const char* name;
    int32_t code;
    int back;  // the first errno name of the code's row
};

#define E(name, code, back) {name, #name, code, back}
// Every errno name the mapping knows on this system, including those above
// 102 and the names that share a value with another.
const errno_case k_errno_cases[] = {
    E(EPERM, -38, EPERM),
    E(EACCES, -38, EPERM),
    E(ENOENT, -102, ENOENT),
    E(ENODEV, -102, ENOENT),
    E(ESRCH, -50, ESRCH),
    E(ECHILD, -50, ESRCH),
    E(EINTR, -39, EINTR),
    E(EIO, -250, EIO),
    E(ENXIO, -258, ENXIO),
    E(E2BIG, -42, E2BIG),
    E(EOVERFLOW, -42, E2BIG),
    E(ENOEXEC, -608, ENOEXEC),
    E(EBADF, -4, EBADF),
    E(EDEADLK, -365, EDEADLK),
    E(EDEADLOCK, -365, EDEADLK),
    E(ENOMEM, -8, ENOMEM),
    E(EFAULT, -6, EFAULT),
    E(EBUSY, -138, EBUSY),
    E(EEXIST, -105, EEXIST),
    E(EXDEV, -119, EXDEV),
    E(ENOTDIR, -103, ENOTDIR),
    E(EISDIR, -127, EISDIR),
    E(EINVAL, -2, EINVAL),
    E(EDOM, -2, EINVAL),
    E(ERANGE, -2, EINVAL),
    E(EMFILE, -106, EMFILE),
    E(ENFILE, -106, EMFILE),
    E(ENOTTY, -36, ENOTTY),
    E(ETXTBSY, -114, ETXTBSY),
    E(EFBIG, -128, EFBIG),
    E(ENOSPC, -152, ENOSPC),
    E(EDQUOT, -152, ENOSPC),
    E(ESPIPE, -109, ESPIPE),
    E(EROFS, -113, EROFS),
    E(EPIPE, -301, EPIPE),
    E(EAGAIN, -52, EAGAIN),
    E(EWOULDBLOCK, -52, EAGAIN),
    E(EINPROGRESS, -436, EINPROGRESS),
    E(EALREADY, -437, EALREADY),
    E(ENOTSOCK, -438, ENOTSOCK),
    E(EDESTADDRREQ, -439, EDESTADDRREQ),
    E(EMSGSIZE, -440, EMSGSIZE),
    E(EPROTOTYPE, -441, EPROTOTYPE),
    E(ENOPROTOOPT, -442, ENOPROTOOPT),
    E(EPROTONOSUPPORT, -443, EPROTONOSUPPORT),
    E(ESOCKTNOSUPPORT, -444, ESOCKTNOSUPPORT),
    E(ENOTSUP, -37, ENOTSUP),
    // One value with ENOTSUP here: it takes the "Not supported." row.
    E(EOPNOTSUPP, -37, ENOTSUP),
    E(ENOSYS, -37, ENOTSUP),
    E(EPFNOSUPPORT, -446, EPFNOSUPPORT),
    E(EAFNOSUPPORT, -447, EAFNOSUPPORT),
    E(EADDRINUSE, -448, EADDRINUSE),
    E(EADDRNOTAVAIL, -449, EADDRNOTAVAIL),
    E(ENETDOWN, -450, ENETDOWN),
    E(ENETUNREACH, -451, ENETUNREACH),
    E(ENETRESET, -452, ENETRESET),
    E(ECONNABORTED, -453, ECONNABORTED),
    E(ECONNRESET, -454, ECONNRESET),
    E(ENOBUFS, -455, ENOBUFS),
    E(EISCONN, -456, EISCONN),
    E(ENOTCONN, -457, ENOTCONN),
    E(ESHUTDOWN, -458, ESHUTDOWN),
    E(ETOOMANYREFS, -459, ETOOMANYREFS),
    E(ETIMEDOUT, -40, ETIMEDOUT),
    E(ECONNREFUSED, -461, ECONNREFUSED),
    E(ELOOP, -156, ELOOP),
    E(ENAMETOOLONG, -120, ENAMETOOLONG),
    E(EHOSTDOWN, -464, EHOSTDOWN),
    E(EHOSTUNREACH, -465, EHOSTUNREACH),
    E(ENOTEMPTY, -125, ENOTEMPTY),
    E(ENOLCK, -115, ENOLCK),
    E(EILSEQ, -58, EILSEQ),
    E(ENODATA, -304, ENODATA),
    E(EPROTO, -466, EPROTO),
    E(ECANCELED, -70, ECANCELED),
};
#undef E

}  // namespace

TEST(verr_errno, every_mapped_name_and_its_round_trip) {
    log_capture cap;
    EXPECT_EQ(os_verr_get(0), 0);
    EXPECT_EQ(verr_2_posix(0), 0);
    for (const auto& c : k_errno_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(os_verr_get(c.eno), c.code);
        EXPECT_EQ(verr_2_posix(os_verr_get(c.eno)), c.back);
        EXPECT_STRNE(verr2str(c.code), k_invalid);
    }
    EXPECT_EQ(cap.count(), 0u) << cap.all();
}

TEST(verr_errno, unmapped_values_give_general_failure_with_one_warn_line) {
    // Media errors of block devices other than ENODATA and EILSEQ belong to the
    // file layer, so EREMOTEIO stays unmapped here.
    const int unmapped[] = {-5, -1, ECHRNG, EREMOTEIO, ENOMEDIUM, 200, 4096, INT_MIN, INT_MAX};
    for (int eno : unmapped) {
        log_capture cap;
        EXPECT_EQ(os_verr_get(eno), VERR_GENERAL_FAILURE) << eno;
        expect_one_line(cap, LOG2_WARN, "unkown eno=" + std::to_string(eno));
    }
}

TEST(verr_errno, every_table_code_maps_back) {
    std::map<int32_t, int> back;
    for (const auto& c : k_errno_cases) back.emplace(c.code, c.back);
    back[-252] = ENXIO;
    back[-445] = EOPNOTSUPP;
    back[VINF_SUCCESS] = 0;
    back[VERR_GENERAL_FAILURE] = EPERM;
    size_t unmapped = 0;
    for (const auto& r : k_rows) {
        SCOPED_TRACE(r.code);
        log_capture cap;
        auto it = back.find(r.code);
        if (it != back.end()) {
            EXPECT_EQ(verr_2_posix(r.code), it->second);
            EXPECT_EQ(cap.count(), 0u) << cap.all();
        } else {
            unmapped++;
            EXPECT_EQ(verr_2_posix(r.code), EPERM);
            expect_one_line(cap, LOG2_WARN, "unkown verrno = " + std::to_string(r.code));
        }
    }
    // The rows that no errno name, nor -252, 0 or -1, stands for.
    EXPECT_EQ(unmapped, 258u - back.size());
}

TEST(verr_errno, posix_of_special_and_unknown_codes) {
    {
        log_capture cap;
        EXPECT_EQ(verr_2_posix(-1), EPERM);
        EXPECT_EQ(verr_2_posix(-37), ENOTSUP);
        EXPECT_EQ(verr_2_posix(-445), EOPNOTSUPP);
        EXPECT_EQ(verr_2_posix(-252), ENXIO);
        EXPECT_EQ(cap.count(), 0u) << cap.all();
    }
    const int32_t unknown[] = {-3, 203, -14, 5, INT32_MIN};
    for (int32_t code : unknown) {
        log_capture cap;
        EXPECT_EQ(verr_2_posix(code), EPERM) << code;
        expect_one_line(cap, LOG2_WARN, "unkown verrno = " + std::to_string(code));
    }
}

TEST(verr_errno, set_and_get_errno_forms) {
    errno = 0;
    verr_set_errno(-152);
    EXPECT_EQ(errno, ENOSPC);
    verr_set_errno2(-461);
    EXPECT_EQ(errno, ECONNREFUSED);
    verr_set_errno(0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(verr_to_errno(-40), ETIMEDOUT);
    log_capture cap;
    verr_set_errno(-3);
    EXPECT_EQ(errno, EPERM);
}

// ---- errors of real system calls ----

TEST(verr_errno, open_of_missing_file) {
    temp_dir dir;
    errno = 0;
    fd_guard f(open(dir.file("missing").c_str(), O_RDONLY));
    ASSERT_EQ(f.fd, -1);
    int32_t code = os_verr_get(errno);
    EXPECT_EQ(code, VERR_FILE_NOT_FOUND);
    EXPECT_STREQ(verr2str(code), "File not found.");
}

TEST(verr_errno, write_to_full_device) {
    fd_guard f(open("/dev/full", O_WRONLY));
    if (f.fd < 0) GTEST_SKIP() << "no /dev/full";
    char byte = 'x';
    errno = 0;
    ASSERT_EQ(write(f.fd, &byte, 1), -1);
    int32_t code = os_verr_get(errno);
    EXPECT_EQ(code, -152);
    EXPECT_STREQ(verr2str(code), "Disk is full.");
}

TEST(verr_errno, connect_to_closed_port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    {
        // Take a free port from the system, then give it back unlistened.
        fd_guard s(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_GE(s.fd, 0);
        ASSERT_EQ(bind(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        ASSERT_EQ(getsockname(s.fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    }
    fd_guard c(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_GE(c.fd, 0);
    errno = 0;
    ASSERT_EQ(connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), -1);
    int32_t code = os_verr_get(errno);
    EXPECT_EQ(code, VERR_NET_CONNECTION_REFUSED);
    EXPECT_STREQ(verr2str(code), "Connection refused.");
}

// ---- errno texts ----

TEST(verr_strerror, texts_of_values) {
    char buf[128];
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(os_strerror_r(0, buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "ok");
    EXPECT_STREQ(os_strerror_r(ENOENT, buf, sizeof buf), strerror(ENOENT));
    EXPECT_STREQ(os_strerror_r(ECONNREFUSED, buf, sizeof buf), "Connection refused");
    // The system's text for a value it does not know.
    EXPECT_STREQ(os_strerror_r(9999, buf, sizeof buf), "Unknown error 9999");
    EXPECT_STREQ(os_strerror_r(-7, buf, sizeof buf), "Unknown error -7");
}

TEST(verr_strerror, cut_to_the_buffer) {
    char buf[8];
    memset(buf, 'z', sizeof buf);
    EXPECT_STREQ(os_strerror_r(ENOENT, buf, 5), "No s");
    EXPECT_EQ(buf[5], 'z');
    EXPECT_STREQ(os_strerror_r(0, buf, 2), "o");
    EXPECT_STREQ(os_strerror_r(ENOENT, buf, 1), "");
    // A cut ending in a blank loses the blank.
    EXPECT_STREQ(os_strerror_r(ENOENT, buf, 4), "No");
    buf[0] = 'q';
    EXPECT_EQ(os_strerror_r(ENOENT, buf, 0), buf);
    EXPECT_EQ(buf[0], 'q');
    EXPECT_EQ(os_strerror_r(ENOENT, nullptr, 10), nullptr);
}

TEST(verr_strerror, keeps_errno) {
    char buf[64];
    errno = EBADF;
    os_strerror_r(ENOENT, buf, sizeof buf);
    EXPECT_EQ(errno, EBADF);
}

TEST(verr_strerror, current_errno_forms) {
    errno = 0;
    EXPECT_STREQ(os_strerror(), "ok");
    EXPECT_STREQ(os_errno_str(0), "ok");
    errno = EIO;
    const char* a = os_strerror();
    errno = ENOSPC;
    const char* b = os_strerror2();
    // Separate buffers: both texts stay valid side by side.
    EXPECT_STREQ(a, strerror(EIO));
    EXPECT_STREQ(b, strerror(ENOSPC));
    EXPECT_STREQ(os_errno_str(EPIPE), strerror(EPIPE));
    EXPECT_STREQ(a, strerror(EIO));

    // Each thread has buffers of its own.
    const char* mine = os_errno_str(EPIPE);
    std::string other_text;
    std::thread t([&] { other_text = os_errno_str(ENOENT); });
    t.join();
    EXPECT_EQ(other_text, strerror(ENOENT));
    EXPECT_STREQ(mine, strerror(EPIPE));
}

// ---- error records ----

TEST(verr_record, set_fills_every_field) {
    verr_info e{};
    VERR_SET(&e, VERR_INVALID_FILE_HEAD, "%s", "abc");
    EXPECT_STREQ(e.file, __FILE__);
    EXPECT_STREQ(e.func, "TestBody");
    EXPECT_EQ(e.line, static_cast<uint32_t>(__LINE__ - 3));
    EXPECT_EQ(e.code, -147);
    EXPECT_STREQ(verr_msg(&e), "abc");

    verr_set(&e, "f.cpp", 7, "fn", -2, "n=%d t=%s", 42, "x");
    EXPECT_STREQ(e.file, "f.cpp");
    EXPECT_STREQ(e.func, "fn");
    EXPECT_EQ(e.line, 7u);
    EXPECT_EQ(e.code, -2);
    EXPECT_STREQ(verr_msg(&e), "n=42 t=x");

    verr_set(nullptr, "f.cpp", 1, "fn", -2, "%s", "ignored");
}

// A failed call's record from errno: the value's code and system text; a
// failure that set no errno keeps the caller's fallback code, never success.
TEST(verr_record, set_from_errno_of_a_failed_call) {
    struct row {
        int e;
        int32_t none;
        int32_t code;
        const char* text;
    };
    const row rows[] = {
        {ENOENT, VERR_WRITE_ERROR, VERR_FILE_NOT_FOUND, strerror(ENOENT)},
        {ENOSPC, VERR_FILE_IO_ERROR, VERR_DISK_FULL, strerror(ENOSPC)},
        {0, VERR_WRITE_ERROR, VERR_WRITE_ERROR, verr2str(VERR_WRITE_ERROR)},
        {0, VERR_FILE_IO_ERROR, VERR_FILE_IO_ERROR, verr2str(VERR_FILE_IO_ERROR)},
        {0, VERR_GENERAL_FAILURE, VERR_GENERAL_FAILURE, verr2str(VERR_GENERAL_FAILURE)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.e);
        std::string text = r.text;  // strerror's buffer may be reused
        verr_info e{};
        VERR_SET_ERRNO(&e, r.e, r.none);
        EXPECT_STREQ(e.file, __FILE__);
        EXPECT_EQ(e.line, static_cast<uint32_t>(__LINE__ - 2));
        EXPECT_EQ(e.code, r.code);
        EXPECT_EQ(std::string(verr_msg(&e)), text);
        EXPECT_EQ(verr_of_failed_errno(r.e, r.none), r.code);
    }
    VERR_SET_ERRNO(nullptr, EIO, VERR_WRITE_ERROR);
}

TEST(verr_record, empty_message_shows_the_code_text) {
    verr_info e{};
    VERR_SET(&e, -8, "%s", "old text");
    verr_set(&e, "f.cpp", 1, "fn", -147, nullptr);
    EXPECT_STREQ(e.message, "");
    EXPECT_STREQ(verr_msg(&e), "Invalid file head data.");
    verr_set(&e, "f.cpp", 1, "fn", -152, "%s", "");
    EXPECT_STREQ(verr_msg(&e), "Disk is full.");
    {
        log_capture cap;
        verr_set(&e, "f.cpp", 1, "fn", -14, nullptr);
        EXPECT_STREQ(verr_msg(&e), k_invalid);
        EXPECT_EQ(cap.count(LOG2_DBG), 1u);
    }
    EXPECT_STREQ(verr_msg(nullptr), "");
}

TEST(verr_record, long_message_is_cut_to_4094) {
    const size_t lengths[] = {4093, 4094, 4095, 5000};
    for (size_t n : lengths) {
        SCOPED_TRACE(n);
        std::string text(n, 'a');
        for (size_t i = 0; i < n; i++) text[i] = static_cast<char>('a' + i % 26);
        verr_info e{};
        verr_set(&e, "f.cpp", 1, "fn", -1, "%s", text.c_str());
        size_t keep = n < 4094 ? n : 4094;
        EXPECT_EQ(strlen(e.message), keep);
        EXPECT_EQ(std::string(e.message), text.substr(0, keep));
    }
}

TEST(verr_record, message_may_be_its_own_argument) {
    verr_info e{};
    VERR_SET(&e, -102, "%s", "abc");
    VERR_SET(&e, -102, "%s", e.message);
    EXPECT_STREQ(e.message, "abc");
    VERR_SET(&e, -102, "open x: %s (%s)", e.message, e.message);
    EXPECT_STREQ(e.message, "open x: abc (abc)");
    // The code's text, read before the record changes.
    verr_set(&e, "f.cpp", 1, "fn", -152, nullptr);
    VERR_SET(&e, -101, "write: %s", verr_msg(&e));
    EXPECT_STREQ(verr_msg(&e), "write: Disk is full.");
    // A full-length message fed back to itself.
    std::string full(4094, 'q');
    VERR_SET(&e, -1, "%s", full.c_str());
    VERR_SET(&e, -1, "%s%s", "X", e.message);
    EXPECT_EQ(std::string(e.message), "X" + full.substr(0, 4093));
}

TEST(verr_record, set_detail_appends_the_detail) {
    struct detail_case {
        const char* fmt;
        const char* arg;
        const char* detail;
        const char* want;
    };
    const detail_case cases[] = {
        {"open %s", "a.img", "No such file or directory", "open a.img: No such file or directory"},
        {"open %s", "a.img", "", "open a.img: "},
        {"open %s", "a.img", nullptr, "open a.img: "},
        {nullptr, "a.img", "gone", ": gone"},
    };
    for (const auto& c : cases) {
        verr_info e{};
        verr_set_detail(&e, "f.cpp", 9, "fn", -102, c.detail, c.fmt, c.arg);
        EXPECT_STREQ(e.message, c.want);
        EXPECT_EQ(e.code, -102);
        EXPECT_EQ(e.line, 9u);
        EXPECT_STREQ(e.func, "fn");
    }
    verr_set_detail(nullptr, "f.cpp", 9, "fn", -102, "d", "%s", "x");
}

TEST(verr_record, set_detail_may_use_the_message) {
    verr_info e{};
    VERR_SET(&e, -254, "%s", "sector 7");
    verr_set_detail(&e, "f.cpp", 1, "fn", -250, e.message, "read %s", e.message);
    EXPECT_STREQ(e.message, "read sector 7: sector 7");
}

TEST(verr_record, set_detail_that_does_not_fit_leaves_the_code_text) {
    std::string head(4090, 'h');
    {
        verr_info e{};
        verr_set_detail(&e, "f.cpp", 1, "fn", -113, "12", "%s", head.c_str());
        // 4090 + ": " + "12" is 4094 characters: it fits.
        EXPECT_EQ(strlen(e.message), 4094u);
    }
    {
        log_capture cap;
        verr_info e{};
        verr_set_detail(&e, "f.cpp", 1, "fn", -113, "12345", "%s", head.c_str());
        EXPECT_STREQ(e.message, "");
        EXPECT_STREQ(verr_msg(&e), "Write protect error.");
    }
    {
        log_capture cap;
        verr_info e{};
        std::string huge(5000, 'h');
        verr_set_detail(&e, "f.cpp", 1, "fn", -113, "d", "%s", huge.c_str());
        EXPECT_STREQ(verr_msg(&e), "Write protect error.");
    }
}

TEST(verr_record, copy_and_self_copy) {
    verr_info src{};
    verr_set(&src, "a.cpp", 12, "fa", -461, "connect %s", "10.0.0.1:80");
    verr_info dst{};
    verr_set(&dst, "b.cpp", 3, "fb", -2, "%s", "previous");
    verr_copy(&dst, &src);
    EXPECT_STREQ(dst.file, "a.cpp");
    EXPECT_STREQ(dst.func, "fa");
    EXPECT_EQ(dst.line, 12u);
    EXPECT_EQ(dst.code, -461);
    EXPECT_STREQ(dst.message, "connect 10.0.0.1:80");

    // A full-length message copies whole.
    verr_set(&src, "a.cpp", 1, "fa", -1, "%s", std::string(4094, 'm').c_str());
    verr_copy(&dst, &src);
    EXPECT_EQ(strlen(dst.message), 4094u);

    verr_info before = dst;
    verr_copy(&dst, &dst);
    EXPECT_EQ(memcmp(&before, &dst, sizeof dst), 0);
    verr_copy(nullptr, &src);
    verr_copy(&dst, nullptr);
    EXPECT_EQ(memcmp(&before, &dst, sizeof dst), 0);
}

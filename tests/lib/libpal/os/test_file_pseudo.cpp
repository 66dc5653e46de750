// The pseudo-file kinds, the choice of kind by path, the dispatchers'
// empty-slot checks and the kind-provider seam.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "file_fixture.h"
#include "liblog/log2.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "support/faultinject.h"
#include "support/log_capture.h"

namespace {

bool all_bytes(const std::vector<unsigned char>& v, unsigned char c) {
    return std::all_of(v.begin(), v.end(), [c](unsigned char x) { return x == c; });
}

TEST(FilePseudo, KindFollowsThePreparedPath) {
    temp_dir dir;
    write_file(dir.file("plain"), "abc");
    struct row {
        std::string path;
        const char* kind;
    };
    const row rows[] = {
        {"/dev/zero", "zero"},
        {"/dev/null", "null"},
        {"/dev/random", "random"},
        {"/dev/stdin", "stdin"},
        {"/dev/stdout", "stdout"},
        {"/dev//zero", "zero"},           // doubled separators collapse
        {"file:///dev/zero", "zero"},     // file:// prefix dropped
        {"/dev/urandom", "file"},         // other /dev names are local files
        {"/dev/full", "file"},
        {"file://" + dir.file("plain"), "file"},
        {dir.file("plain"), "file"},
    };
    for (const row& r : rows) {
        file_ptr f = open_file(r.path, OS_PF_RDONLY);
        ASSERT_TRUE(f) << r.path << " errno " << errno;
        EXPECT_STREQ(kind_of(f), r.kind) << r.path;
        EXPECT_STREQ(os_file_path(f.get()), r.path.c_str()) << "the caller's path is kept as given";
    }

    // The prefix really is gone: the local file is read.
    file_ptr f = open_file("file://" + dir.file("plain"), OS_PF_RDONLY);
    char buf[8] = {};
    EXPECT_EQ(os_file_read(f.get(), buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "abc");
}

TEST(FilePseudo, TokensAndDescriptors) {
    struct row {
        const char* path;
        uint64_t token;
        int32_t fd;
    };
    const row rows[] = {
        {"/dev/stdin", 1, 0}, {"/dev/stdout", 2, 1}, {"/dev/null", 1, 0}, {"/dev/zero", 1, 0}, {"/dev/random", 1, 0},
    };
    for (const row& r : rows) {
        file_ptr f = open_file(r.path, OS_PF_RDWR);
        ASSERT_TRUE(f) << r.path;
        EXPECT_EQ(f->handle, r.token) << r.path;
        EXPECT_EQ(os_file_fd(f.get()), r.fd) << r.path;
    }
    EXPECT_EQ(os_file_fd(nullptr), -1);
}

TEST(FilePseudo, ZeroNullAndRandomTransfer) {
    file_ptr zero = open_file("/dev/zero", OS_PF_RDONLY);
    std::vector<unsigned char> buf(4096, 0xAA);
    EXPECT_EQ(os_file_read(zero.get(), buf.data(), buf.size()), 4096);
    EXPECT_TRUE(all_bytes(buf, 0));
    EXPECT_EQ(os_file_read(zero.get(), buf.data(), 0), 0);

    file_ptr null = open_file("/dev/null", OS_PF_WRONLY);
    EXPECT_EQ(os_file_write(null.get(), buf.data(), 1000), 1000);
    EXPECT_EQ(os_file_write(null.get(), buf.data(), 0), 0);

    file_ptr rnd = open_file("/dev/random", OS_PF_RDONLY);
    std::vector<unsigned char> a(4099, 0), b(4099, 0);
    EXPECT_EQ(os_file_read(rnd.get(), a.data(), a.size()), 4099);
    EXPECT_EQ(os_file_read(rnd.get(), b.data(), b.size()), 4099);
    EXPECT_NE(a, b);
    EXPECT_FALSE(all_bytes(std::vector<unsigned char>(a.end() - 3, a.end()), 0)) << "the tail is filled too";
}

TEST(FilePseudo, EmptySlotsAreReportedAndFail) {
    struct row {
        const char* path;
        const char* slot;
        int64_t (*call)(os_file_ctx*);
    };
    static char buf[16];
    static const iovec vec[1] = {{buf, sizeof buf}};
    const row rows[] = {
        {"/dev/stdout", "ctx->ops->read", [](os_file_ctx* c) { return os_file_read(c, buf, 1); }},
        {"/dev/stdout", "ctx->ops->pwrit", [](os_file_ctx* c) { return os_file_pwrit(c, buf, 1, 0); }},
        {"/dev/stdin", "ctx->ops->writ", [](os_file_ctx* c) { return os_file_write(c, buf, 1); }},
        {"/dev/stdin", "ctx->ops->pread", [](os_file_ctx* c) { return os_file_pread(c, buf, 1, 0); }},
        {"/dev/zero", "ctx->ops->writ", [](os_file_ctx* c) { return os_file_write(c, buf, 1); }},
        {"/dev/zero", "ctx->ops->readv", [](os_file_ctx* c) { return os_file_readv(c, vec, 1); }},
        {"/dev/random", "ctx->ops->pwritv", [](os_file_ctx* c) { return os_file_pwritv(c, vec, 1, 0); }},
    };
    for (const row& r : rows) {
        file_ptr f = open_file(r.path, OS_PF_RDWR);
        ASSERT_TRUE(f) << r.path;
        log_capture cap;
        EXPECT_EQ(r.call(f.get()), -1) << r.path << " " << r.slot;
        EXPECT_TRUE(cap.contains(std::string("expr[") + r.slot + "]: assert failed")) << cap.all();
    }

    // Predicates fail with 0.
    file_ptr zero = open_file("/dev/zero", OS_PF_RDONLY);
    log_capture cap;
    EXPECT_EQ(os_file_fsync(zero.get()), 0);
    EXPECT_EQ(os_file_ftruncate(zero.get(), 0), 0);
    EXPECT_TRUE(cap.contains("expr[ctx->ops->sync]: assert failed"));
    EXPECT_TRUE(cap.contains("expr[ctx->ops->truncate]: assert failed"));
}

// Every operation slot of every pseudo-file kind: a slot the kind has
// answers without a log line, an empty one is reported and fails. "null"
// discards writes at any offset and reads as empty; "zero" and "random" read
// the same way at any offset. The standard streams of this process move no
// bytes here (length 0).
TEST(FilePseudo, EverySlotOfEachKind) {
    constexpr int64_t EMPTY = INT64_MIN;  // the slot is empty
    constexpr int64_t LEN = INT64_MAX;    // the requested length
    struct slot {
        const char* text;
        int64_t fail;
        int64_t (*call)(os_file_ctx*, unsigned char*, size_t);
    };
    static const slot slots[] = {
        {"ctx->ops->read", -1, [](os_file_ctx* c, unsigned char* b, size_t n) { return os_file_read(c, b, n); }},
        {"ctx->ops->writ", -1, [](os_file_ctx* c, unsigned char* b, size_t n) { return os_file_write(c, b, n); }},
        {"ctx->ops->pread", -1,
         [](os_file_ctx* c, unsigned char* b, size_t n) { return os_file_pread(c, b, n, 1 << 20); }},
        {"ctx->ops->pwrit", -1,
         [](os_file_ctx* c, unsigned char* b, size_t n) { return os_file_pwrit(c, b, n, 1 << 20); }},
        {"ctx->ops->readv", -1,
         [](os_file_ctx* c, unsigned char* b, size_t n) {
             iovec v{b, n};
             return os_file_readv(c, &v, 1);
         }},
        {"ctx->ops->writv", -1,
         [](os_file_ctx* c, unsigned char* b, size_t n) {
             iovec v{b, n};
             return os_file_writv(c, &v, 1);
         }},
        {"ctx->ops->preadv", -1,
         [](os_file_ctx* c, unsigned char* b, size_t n) {
             iovec v{b, n};
             return os_file_preadv(c, &v, 1, 0);
         }},
        {"ctx->ops->pwritv", -1,
         [](os_file_ctx* c, unsigned char* b, size_t n) {
             iovec v{b, n};
             return os_file_pwritv(c, &v, 1, 0);
         }},
        {"ctx->ops->sync", 0, [](os_file_ctx* c, unsigned char*, size_t) -> int64_t { return os_file_fsync(c); }},
        {"ctx->ops->truncate", 0,
         [](os_file_ctx* c, unsigned char*, size_t) -> int64_t { return os_file_ftruncate(c, 0); }},
        {"ctx->ops->seek", -1, [](os_file_ctx* c, unsigned char*, size_t) { return os_file_seek(c, 100, SEEK_SET); }},
        {"ctx->ops->offset", -1, [](os_file_ctx* c, unsigned char*, size_t) { return os_file_offset(c); }},
        {"ctx->ops->size", -1, [](os_file_ctx* c, unsigned char*, size_t) { return os_file_size(c); }},
        {"ctx->ops->ioctl", 0,
         [](os_file_ctx* c, unsigned char*, size_t) -> int64_t {
             uint64_t cls = 7;
             return os_file_ioctl(c, OS_FILE_GET_ERROR, &cls, sizeof cls);
         }},
    };
    constexpr size_t NSLOTS = std::size(slots);
    struct kind_row {
        const char* path;
        size_t len;
        int64_t want[NSLOTS];  // in the order of the slots above
    };
    const kind_row kinds[] = {
        //                  read   writ   pread  pwrit  readv  writv  preadv pwritv sync   trunc  seek offs size ioctl
        {"/dev/null", 64, {0, LEN, 0, LEN, EMPTY, EMPTY, EMPTY, EMPTY, 1, 1, 0, 0, 0, 1}},
        {"/dev/zero", 64, {LEN, EMPTY, LEN, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, 0, 0, 0, 1}},
        {"/dev/random", 64, {LEN, EMPTY, LEN, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, 0, 0, 0, 1}},
        {"/dev/stdin", 0, {0, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, 1, 1, 0, 0, 0, 1}},
        {"/dev/stdout", 0, {EMPTY, 0, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, EMPTY, 1, 1, 0, 0, 0, 1}},
    };
    for (const kind_row& k : kinds) {
        file_ptr f = open_file(k.path, OS_PF_RDWR);
        ASSERT_TRUE(f) << k.path;
        for (size_t i = 0; i < NSLOTS; ++i) {
            SCOPED_TRACE(std::string(k.path) + " " + slots[i].text);
            std::vector<unsigned char> buf(std::max<size_t>(k.len, 1), 0xAA);
            log_capture cap;
            int64_t got = slots[i].call(f.get(), buf.data(), k.len);
            int64_t want = k.want[i];
            if (want == EMPTY) {
                EXPECT_EQ(got, slots[i].fail);
                EXPECT_TRUE(cap.contains(std::string("expr[") + slots[i].text + "]: assert failed")) << cap.all();
                continue;
            }
            EXPECT_EQ(got, want == LEN ? static_cast<int64_t>(k.len) : want);
            EXPECT_EQ(cap.count(), 0u) << cap.all();
            // What a read leaves in the buffer: zeros, random bytes, or
            // nothing at all at the end of "null".
            bool is_read = i == 0 || i == 2;
            if (!is_read || k.len == 0) continue;
            std::string_view kind = k.path;
            if (kind == "/dev/zero") {
                EXPECT_TRUE(all_bytes(buf, 0));
            } else if (kind == "/dev/null") {
                EXPECT_TRUE(all_bytes(buf, 0xAA));
            } else {
                EXPECT_FALSE(all_bytes(buf, 0xAA));
                EXPECT_FALSE(all_bytes(buf, 0));
            }
        }
    }
}

TEST(FilePseudo, CommonOperationsAndInfo) {
    for (const char* path : {"/dev/stdin", "/dev/stdout", "/dev/null", "/dev/zero", "/dev/random"}) {
        file_ptr f = open_file(path, OS_PF_RDONLY);
        ASSERT_TRUE(f) << path;
        os_file_info info;
        std::memset(&info, 0x5c, sizeof info);
        EXPECT_EQ(os_file_ioctl(f.get(), OS_FILE_GET_INFO, &info, sizeof info), 1) << path;
        EXPECT_EQ(info.type, OS_FILE_TYPE_VIRTUAL) << path;
        EXPECT_EQ(info.size, 0u);
        EXPECT_EQ(info.offset, 0u);
        EXPECT_EQ(info.sector_size, 512u);
        EXPECT_STREQ(info.description, "") << path;

        uint64_t cls = 7;
        EXPECT_EQ(os_file_ioctl(f.get(), OS_FILE_GET_ERROR, &cls, sizeof cls), 1);
        EXPECT_EQ(cls, 0u);
        os_file_attr attr{};
        EXPECT_EQ(os_file_stat(f.get(), &attr), 0) << "no other control code";
        EXPECT_EQ(os_file_seek(f.get(), 100, SEEK_SET), 0);
        EXPECT_EQ(os_file_offset(f.get()), 0);
        EXPECT_EQ(os_file_size(f.get()), 0);
    }
    file_ptr out = open_file("/dev/stdout", OS_PF_WRONLY);
    EXPECT_EQ(os_file_ftruncate(out.get(), 10), 1);
    EXPECT_EQ(os_file_fsync(out.get()), 1) << "a standard output that cannot be synchronised is not an error";
    EXPECT_EQ(os_file_ioctl(nullptr, OS_FILE_GET_INFO, nullptr, 0), 0);

    os_file_info info{};
    EXPECT_EQ(os_file_get_info("/dev/zero", &info), 1);
    EXPECT_EQ(info.type, OS_FILE_TYPE_VIRTUAL);
}

TEST(FilePseudo, WritesToStandardOutputAreComplete) {
    // Standard output is a non-blocking pipe that fills up: the write waits
    // for room instead of giving up after the first part.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fflush(stdout);
    int saved = dup(1);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(p[1], 1), 1);
    close(p[1]);
    fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);

    std::string data = byte_pattern(1 << 20);
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    });
    int64_t n;
    {
        file_ptr out = open_file("/dev/stdout", OS_PF_WRONLY);
        n = os_file_write(out.get(), data.data(), data.size());
    }
    fcntl(1, F_SETFL, fcntl(1, F_GETFL) & ~O_NONBLOCK);
    dup2(saved, 1);
    close(saved);
    reader.join();
    close(p[0]);
    EXPECT_EQ(n, static_cast<int64_t>(data.size()));
    EXPECT_TRUE(got == data) << got.size();
}

TEST(FilePseudo, ReadsOfStandardInputAreComplete) {
    // The child's input pipe delivers 200000 bytes in pieces; one read
    // through the "stdin" kind still returns all of them.
    std::string data = byte_pattern(200000);
    proc_result r = run_proc({KXDD_FI_READER, "/dev/stdin", "read:300000"}, data);
    ASSERT_EQ(r.status, 0) << r.err;
    char want[64];
    std::snprintf(want, sizeof want, "ret=200000 errno=0 verr=0 class=0 digest=%016llx",
                  static_cast<unsigned long long>(fi_digest(data.data(), data.size())));
    EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
}

// A test kind: every control request is recorded.
uint32_t g_last_code;
uint32_t g_last_value;
uint64_t probe_init(const char*, uint32_t) { return 9; }
int probe_exit(uint64_t) { return 1; }
int probe_ioctl(uint64_t, uint32_t code, void* arg, size_t len) {
    g_last_code = code;
    g_last_value = arg && len == 4 ? *static_cast<uint32_t*>(arg) : 0;
    return 1;
}
const os_file_ops probe_ops = {.name = "probe", .init = probe_init, .exit = probe_exit, .ioctl = probe_ioctl};
const os_file_ops* probe_kind(const char* path) {
    return std::strncmp(path, "/probe-kind/", 12) == 0 ? &probe_ops : nullptr;
}
const os_file_kind_provider probe_provider = {"probe", probe_kind};

file_ptr open_probe() {
    static bool registered = os_file_kind_register(&probe_provider) == 0;
    EXPECT_TRUE(registered);
    return open_file("/probe-kind/x", OS_PF_RDONLY);
}

TEST(FilePseudo, ProvidersComeFirstAndHaveFourPlaces) {
    file_ptr f = open_probe();
    ASSERT_TRUE(f);
    EXPECT_STREQ(kind_of(f), "probe");
    EXPECT_EQ(f->handle, 9u);
    // Paths the provider does not claim go on to the built-in kinds.
    EXPECT_STREQ(kind_of(open_file("/dev/zero", OS_PF_RDONLY)), "zero");

    static const os_file_kind_provider idle = {"idle", [](const char*) -> const os_file_ops* { return nullptr; }};
    int taken = 0;
    while (os_file_kind_register(&idle) == 0) ++taken;
    EXPECT_LE(taken, 3);
    EXPECT_EQ(os_file_kind_register(&idle), -1);
}

TEST(FilePseudo, TimeoutsAreClamped) {
    file_ptr f = open_probe();
    ASSERT_TRUE(f);
    struct row {
        int write;
        int32_t ms;
        uint32_t code;
        uint32_t sent;
        const char* warning;
    };
    const row rows[] = {
        {0, 500, OS_FILE_SET_READ_TIMEOUT, 1000, "timeout=0s fix=1s error: too short\n"},
        {1, 700000, OS_FILE_SET_WRITE_TIMEOUT, 600000, "timeout=700s fix=600s error: too long\n"},
        {0, -2500, OS_FILE_SET_READ_TIMEOUT, 1000, "timeout=-2s fix=1s error: too short\n"},
        {0, 1000, OS_FILE_SET_READ_TIMEOUT, 1000, nullptr},
        {1, 600000, OS_FILE_SET_WRITE_TIMEOUT, 600000, nullptr},
        {1, 15000, OS_FILE_SET_WRITE_TIMEOUT, 15000, nullptr},
    };
    for (const row& r : rows) {
        log_capture cap;
        int rc = r.write ? os_file_set_write_timeout(f.get(), r.ms) : os_file_set_read_timeout(f.get(), r.ms);
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(g_last_code, r.code) << r.ms;
        EXPECT_EQ(g_last_value, r.sent) << r.ms;
        if (r.warning) {
            ASSERT_EQ(cap.count(LOG2_WARN), 1u) << cap.all();
            EXPECT_EQ(cap.lines()[0].text, r.warning);
        } else {
            EXPECT_EQ(cap.count(), 0u) << cap.all();
        }
    }
}

}  // namespace

#include "libpal/os/os_fileutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "fileutil_fixture.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_fopen.h"
#include "support/log_capture.h"

namespace {

using block_ptr = std::unique_ptr<void, pl_mem_deleter>;

std::string block_text(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

TEST(OsFileUtil, ExistAndIsDir) {
    temp_dir tmp;
    write_file(tmp.file("f"), "x");
    ASSERT_EQ(mkdir(tmp.file("d").c_str(), 0755), 0);
    struct row {
        std::string path;
        int exist;
        int dir;
    };
    const row rows[] = {
        {tmp.file("f"), 1, 0},
        {tmp.file("d"), 0, 1},
        {tmp.file("missing"), -1, -1},
        {"file://" + tmp.file("f"), 1, 0},  // normalised before the stat
        // A Linux file name is taken as it stands: quotes, blanks and
        // backslashes are part of it.
        {" \"" + tmp.file("d") + "\" ", -1, -1},
        {tmp.path + "\\f", -1, -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(os_file_exist(r.path.c_str()), r.exist);
        EXPECT_EQ(os_is_dir(r.path.c_str()), r.dir);
    }
}

// Sizes around the 4096-byte chunk, with and without the terminator.
TEST(OsFileUtil, ReadAllSizes) {
    temp_dir tmp;
    for (size_t n : {0, 1, 10, 4095, 4096, 4097, 8192, 10000}) {
        SCOPED_TRACE(n);
        std::string data = pattern_bytes(n);
        write_file(tmp.file("f"), data);
        for (int zero : {0, 1}) {
            size_t size = 12345;
            block_ptr b(os_file_read_all(tmp.file("f").c_str(), &size, zero));
            ASSERT_TRUE(b);
            ASSERT_EQ(size, n + zero);
            EXPECT_EQ(block_text(b.get(), n), data);
            if (zero) {
                EXPECT_EQ(static_cast<const char*>(b.get())[n], 0);
            }
        }
        size_t size = 0;
        block_ptr bin(os_file_read_bin(tmp.file("f").c_str(), &size));
        ASSERT_TRUE(bin);
        EXPECT_EQ(size, n);
        block_ptr t0(os_file_read_text0(tmp.file("f").c_str()));
        ASSERT_TRUE(t0);
        EXPECT_EQ(block_text(t0.get(), n + 1), data + std::string(1, '\0'));
    }
}

TEST(OsFileUtil, ReadText) {
    temp_dir tmp;
    write_file(tmp.file("t.txt"), "line one\nline two\n");
    block_ptr t(os_file_read_text(tmp.file("t.txt").c_str()));
    ASSERT_TRUE(t);
    EXPECT_STREQ(static_cast<const char*>(t.get()), "line one\nline two\n");
    // No size output is needed.
    block_ptr all(os_file_read_all(tmp.file("t.txt").c_str(), nullptr, 1));
    EXPECT_TRUE(all);
}

// A read that fails half way is a failure, not a short file.
TEST(OsFileUtil, ReadErrorsFail) {
    temp_dir tmp;
    errno = 0;
    EXPECT_EQ(os_file_read_all(tmp.file("missing").c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(errno, ENOENT);
    // A directory opens but cannot be read.
    errno = 0;
    size_t size = 777;
    EXPECT_EQ(os_file_read_all(tmp.path.c_str(), &size, 1), nullptr);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(size, 777u);
    EXPECT_EQ(os_file_read_text(tmp.path.c_str()), nullptr);
}

// Writes that the device refuses at flush or close time are failures.
TEST(OsFileUtil, WritesToFullDeviceFail) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    errno = 0;
    EXPECT_EQ(os_file_write_text("/dev/full", "small text"), -1);
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    const char bin[3] = {1, 2, 3};
    EXPECT_EQ(os_file_write_bin("/dev/full", bin, sizeof bin), -1);
    EXPECT_EQ(errno, ENOSPC);
    // Larger than the stream buffer: fwrite itself fails.
    std::string big = pattern_bytes(100000);
    errno = 0;
    EXPECT_EQ(os_file_write_bin("/dev/full", big.data(), big.size()), -1);
    EXPECT_EQ(errno, ENOSPC);

    temp_dir tmp;
    write_file(tmp.file("src"), pattern_bytes(10));
    errno = 0;
    EXPECT_EQ(os_file_copy(tmp.file("src").c_str(), "/dev/full"), -1);
    EXPECT_EQ(errno, ENOSPC);
}

TEST(OsFileUtil, WriteCreatesParentsAndModes) {
    temp_dir tmp;
    umask_guard um;
    std::string f = tmp.file("a/b/f.txt");
    ASSERT_EQ(os_file_write_text(f.c_str(), "hello"), 0);
    EXPECT_EQ(read_file(f), "hello");
    EXPECT_EQ(perm_of(f), 0644);
    EXPECT_EQ(perm_of(tmp.file("a")), 0755);
    EXPECT_EQ(perm_of(tmp.file("a/b")), 0755);
    // Rewriting replaces the whole file.
    ASSERT_EQ(os_file_write_text(f.c_str(), "hi"), 0);
    EXPECT_EQ(read_file(f), "hi");

    std::string data = pattern_bytes(10000);
    ASSERT_EQ(os_file_write_bin(tmp.file("c/bin").c_str(), data.data(), data.size()), 0);
    EXPECT_EQ(read_file(tmp.file("c/bin")), data);
    EXPECT_EQ(perm_of(tmp.file("c/bin")), 0644);
    ASSERT_EQ(os_file_write_bin(tmp.file("empty").c_str(), nullptr, 0), 0);
    EXPECT_EQ(size_of(tmp.file("empty")), 0);

    errno = 0;
    EXPECT_EQ(os_file_write_text(tmp.file("x").c_str(), nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(OsFileUtil, Create) {
    temp_dir tmp;
    umask_guard um;
    std::string f = tmp.file("p/q/new");
    ASSERT_EQ(os_file_create(f.c_str()), 0);
    EXPECT_EQ(size_of(f), 0);
    EXPECT_EQ(perm_of(f), 0644);
    // An existing file is kept as it is.
    write_file(f, "keep");
    EXPECT_EQ(os_file_create(f.c_str()), 0);
    EXPECT_EQ(read_file(f), "keep");
    errno = 0;
    EXPECT_EQ(os_file_create(tmp.path.c_str()), -1);
    EXPECT_EQ(errno, EACCES);
}

TEST(OsFileUtil, Touch) {
    temp_dir tmp;
    std::string f = tmp.file("t");
    write_file(f, "x");
    timespec old[2] = {{1000, 5}, {1000, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), old, 0), 0);
    time_t before = time(nullptr);
    ASSERT_EQ(os_file_touch(f.c_str()), 0);
    time_t after = time(nullptr);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_GE(st.st_mtim.tv_sec, before);
    EXPECT_LE(st.st_mtim.tv_sec, after);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_GE(st.st_atim.tv_sec, before);
    EXPECT_EQ(read_file(f), "x");
    EXPECT_EQ(os_file_touch(tmp.file("missing").c_str()), -1);
    EXPECT_FALSE(path_exists(tmp.file("missing")));
}

TEST(OsFileUtil, Copy) {
    temp_dir tmp;
    umask_guard um;
    for (size_t n : {0, 4096, 10000}) {
        SCOPED_TRACE(n);
        std::string data = pattern_bytes(n);
        write_file(tmp.file("src"), data);
        std::string dst = tmp.file("out/sub/dst");
        ASSERT_EQ(os_file_copy(tmp.file("src").c_str(), dst.c_str()), 0);
        EXPECT_EQ(read_file(dst), data);
        EXPECT_EQ(perm_of(dst), 0644);
    }
    // A longer destination is cut to the source.
    write_file(tmp.file("long"), pattern_bytes(20000));
    ASSERT_EQ(os_file_copy(tmp.file("src").c_str(), tmp.file("long").c_str()), 0);
    EXPECT_EQ(size_of(tmp.file("long")), 10000);

    errno = 0;
    EXPECT_EQ(os_file_copy(tmp.file("missing").c_str(), tmp.file("d2").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(path_exists(tmp.file("d2")));
}

// Copying a file onto itself, under any spelling, must not empty it.
TEST(OsFileUtil, CopyOntoItselfKeepsData) {
    temp_dir tmp;
    std::string data = pattern_bytes(5000);
    write_file(tmp.file("f"), data);
    ASSERT_EQ(link(tmp.file("f").c_str(), tmp.file("hard").c_str()), 0);
    const std::string dsts[] = {tmp.file("f"), tmp.path + "//./f", "file://" + tmp.file("f"), tmp.file("hard")};
    for (const auto& dst : dsts) {
        SCOPED_TRACE(dst);
        errno = 0;
        EXPECT_EQ(os_file_copy(tmp.file("f").c_str(), dst.c_str()), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(read_file(tmp.file("f")), data);
    }
}

TEST(OsFileUtil, SaveSpaceCheck) {
    temp_dir tmp;
    umask_guard um;
    std::string f = tmp.file("space");
    ASSERT_EQ(os_file_save_space_check(f.c_str(), 1 << 20), 0);
    EXPECT_EQ(size_of(f), 0);  // the reservation is given back
    EXPECT_EQ(perm_of(f), 0644);
    write_file(f, pattern_bytes(100));
    EXPECT_EQ(os_file_save_space_check(f.c_str(), 50), 0);
    EXPECT_EQ(os_file_save_space_check(f.c_str(), 4096), 0);
    EXPECT_EQ(read_file(f), pattern_bytes(100));
    errno = 0;
    EXPECT_EQ(os_file_save_space_check(f.c_str(), UINT64_MAX), -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(os_file_save_space_check(tmp.file("no/dir").c_str(), 10), -1);
}

// More than the file system holds is refused; growing a sparse file would
// have said yes.
TEST(OsFileUtil, SaveSpaceCheckFindsMissingSpace) {
    struct statfs fs;
    if (statfs("/dev/shm", &fs) != 0 || fs.f_type != 0x01021994 /* TMPFS_MAGIC */ || fs.f_blocks == 0)
        GTEST_SKIP() << "no size-limited tmpfs at /dev/shm";
    char tmpl[] = "/dev/shm/kxdd-space-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    struct statvfs vfs;
    ASSERT_EQ(statvfs("/dev/shm", &vfs), 0);
    uint64_t total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    errno = 0;
    int rc = os_file_save_space_check(tmpl, total * 2);
    int err = errno;
    int64_t after = size_of(tmpl);
    unlink(tmpl);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, ENOSPC);
    EXPECT_EQ(after, 0);
}

TEST(OsFileUtil, ByteOrderMark) {
    struct row {
        std::string head;
        long offset;
    };
    const row rows[] = {
        {"\xEF\xBB\xBF" "A", 3},
        {"\xEF\xBB\xBF", 3},
        {"ABC", 0},
        {"\xEF\xBB" "A", 0},
        {"\xEF\xBB", 0},
        {"", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.offset);
        FILE* f = tmpfile();
        ASSERT_NE(f, nullptr);
        fwrite(r.head.data(), 1, r.head.size(), f);
        rewind(f);
        os_file_skip_bom(f);
        EXPECT_EQ(ftell(f), r.offset);
        EXPECT_FALSE(ferror(f));
        fclose(f);
    }
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    os_file_write_bom(f);
    fputs("x", f);
    rewind(f);
    char buf[8] = {};
    EXPECT_EQ(fread(buf, 1, sizeof buf, f), 4u);
    EXPECT_EQ(std::string(buf, 4), "\xEF\xBB\xBF" "x");
    fclose(f);
}

TEST(OsFopen, ModesAndCreation) {
    temp_dir tmp;
    umask_guard um;
    std::string f = tmp.file("f");
    FILE* w = os_fopen(("file://" + f).c_str(), "w");
    ASSERT_NE(w, nullptr);
    fputs("ab", w);
    ASSERT_EQ(fclose(w), 0);
    EXPECT_EQ(perm_of(f), 0644);

    FILE* a = os_fopen(f.c_str(), "ab");
    ASSERT_NE(a, nullptr);
    fputs("cd", a);
    fclose(a);
    EXPECT_EQ(read_file(f), "abcd");

    FILE* rp = os_fopen(f.c_str(), "r+");
    ASSERT_NE(rp, nullptr);
    fputs("X", rp);
    fclose(rp);
    EXPECT_EQ(read_file(f), "Xbcd");

    errno = 0;
    EXPECT_EQ(os_fopen(f.c_str(), "wx"), nullptr);
    EXPECT_EQ(errno, EEXIST);
    FILE* x = os_fopen(tmp.file("new").c_str(), "wxe");
    ASSERT_NE(x, nullptr);
    EXPECT_TRUE(fcntl(fileno(x), F_GETFD) & FD_CLOEXEC);
    fclose(x);

    errno = 0;
    EXPECT_EQ(os_fopen(tmp.file("missing").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(os_fopen(f.c_str(), "z"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(os_fopen(nullptr, "r"), nullptr);
}

// A path that does not fit 4096 bytes fails; nothing is made under a cut
// name.
TEST(OsFileUtil, TooLongPathsFail) {
    temp_dir tmp;
    std::string lp = too_long_path(tmp.path);
    log_capture cap;
    errno = 0;
    EXPECT_EQ(os_file_exist(lp.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    errno = 0;
    EXPECT_EQ(os_file_write_text(lp.c_str(), "x"), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(os_file_create(lp.c_str()), -1);
    EXPECT_EQ(os_file_read_all(lp.c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(os_fopen(lp.c_str(), "w"), nullptr);
    EXPECT_EQ(os_file_save_space_check(lp.c_str(), 1), -1);
    write_file(tmp.file("src"), "x");
    EXPECT_EQ(os_file_copy(tmp.file("src").c_str(), lp.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(cap.count() > 0);  // the strict copy reports the overflow
    // Only the one file made above.
    std::unique_ptr<os_dir, void (*)(os_dir*)> d(os_dir_open_match(tmp.path.c_str(), "x*"), os_dir_close);
    ASSERT_TRUE(d);
    EXPECT_EQ(os_dir_read(d.get()), nullptr);
}

}  // namespace

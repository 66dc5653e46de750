#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "fileutil_fixture.h"
#include "libpal/os/os_fileutil.h"
#include "support/log_capture.h"

namespace {

TEST(OsRename, NoOverwriteKeepsDestination) {
    temp_dir tmp;
    write_file(tmp.file("a"), "A");
    write_file(tmp.file("b"), "B");
    errno = 0;
    EXPECT_EQ(os_rename(tmp.file("a").c_str(), tmp.file("b").c_str(), 0), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(tmp.file("a")), "A");
    EXPECT_EQ(read_file(tmp.file("b")), "B");
    // A dangling link is something to overwrite, too.
    ASSERT_EQ(symlink("nowhere", tmp.file("link").c_str()), 0);
    errno = 0;
    EXPECT_EQ(os_rename(tmp.file("a").c_str(), tmp.file("link").c_str(), 0), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(tmp.file("a")), "A");

    ASSERT_EQ(os_rename(tmp.file("a").c_str(), tmp.file("b").c_str(), 1), 0);
    EXPECT_FALSE(path_exists(tmp.file("a")));
    EXPECT_EQ(read_file(tmp.file("b")), "A");
}

TEST(OsRename, TouchesDestination) {
    temp_dir tmp;
    write_file(tmp.file("a"), "A");
    timespec old[2] = {{1000, 7}, {1000, 7}};
    ASSERT_EQ(utimensat(AT_FDCWD, tmp.file("a").c_str(), old, 0), 0);
    time_t before = time(nullptr);
    ASSERT_EQ(os_rename(tmp.file("a").c_str(), ("file://" + tmp.file("c")).c_str(), 0), 0);
    struct stat st;
    ASSERT_EQ(stat(tmp.file("c").c_str(), &st), 0);
    EXPECT_GE(st.st_mtim.tv_sec, before);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_EQ(read_file(tmp.file("c")), "A");
    errno = 0;
    EXPECT_EQ(os_rename(tmp.file("a").c_str(), tmp.file("d").c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(OsStat, FollowsWithLinkFallback) {
    temp_dir tmp;
    write_file(tmp.file("f"), "12345");
    ASSERT_EQ(symlink("f", tmp.file("lf").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", tmp.file("dangling").c_str()), 0);
    struct row {
        std::string path;
        int stat_rc;
        uint32_t stat_type;
        uint64_t stat_size;
        uint32_t lstat_type;
    };
    const row rows[] = {
        {tmp.file("f"), 0, OS_ATTR_OTHER, 5, OS_ATTR_OTHER},
        {tmp.file("lf"), 0, OS_ATTR_OTHER, 5, OS_ATTR_LINK},
        {tmp.file("dangling"), 0, OS_ATTR_LINK, 7, OS_ATTR_LINK},  // the link answers itself
        {tmp.path, 0, OS_ATTR_DIR, 0, OS_ATTR_DIR},
        {tmp.file("missing"), -1, 0, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        os_file_attr a{};
        ASSERT_EQ(os_stat(r.path.c_str(), &a), r.stat_rc);
        if (r.stat_rc != 0) {
            EXPECT_EQ(errno, ENOENT);
            continue;
        }
        EXPECT_EQ(a.type, r.stat_type);
        if (r.stat_type != OS_ATTR_DIR) {
            EXPECT_EQ(a.size, r.stat_size);
        }
        os_file_attr l{};
        ASSERT_EQ(os_lstat(r.path.c_str(), &l), 0);
        EXPECT_EQ(l.type, r.lstat_type);
    }
    EXPECT_EQ(os_stat(tmp.file("f").c_str(), nullptr), -1);
}

TEST(OsStat, RecordConversions) {
    temp_dir tmp;
    write_file(tmp.file("f"), "12345");
    struct stat st;
    ASSERT_EQ(stat(tmp.file("f").c_str(), &st), 0);
    os_file_attr a{};
    os_stat_to_attr(&st, &a);
    EXPECT_EQ(a.type, OS_ATTR_OTHER);
    EXPECT_EQ(a.mode, st.st_mode);
    EXPECT_EQ(a.size, 5u);
    EXPECT_EQ(a.mtime.sec, static_cast<uint64_t>(st.st_mtim.tv_sec));
    EXPECT_EQ(a.mtime.nsec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
    EXPECT_EQ(a.ino, st.st_ino);
    EXPECT_EQ(a.blocks, static_cast<uint64_t>(st.st_blocks));
    struct stat back;
    os_attr_to_stat(&a, &back);
    EXPECT_EQ(back.st_mode, st.st_mode);
    EXPECT_EQ(back.st_size, st.st_size);
    EXPECT_EQ(back.st_uid, st.st_uid);
    EXPECT_EQ(back.st_nlink, st.st_nlink);
    EXPECT_EQ(back.st_dev, st.st_dev);
    EXPECT_EQ(back.st_ino, st.st_ino);
    EXPECT_EQ(back.st_blksize, st.st_blksize);
    EXPECT_EQ(back.st_atim.tv_sec, st.st_atim.tv_sec);
    EXPECT_EQ(back.st_atim.tv_nsec, st.st_atim.tv_nsec);
    EXPECT_EQ(back.st_ctim.tv_nsec, st.st_ctim.tv_nsec);

    // A made-up mode from the type.
    struct row {
        uint32_t type;
        mode_t mode;
    };
    const row rows[] = {{OS_ATTR_MAKE_MODE | OS_ATTR_DIR, 040775},
                        {OS_ATTR_MAKE_MODE | OS_ATTR_OTHER, 0100775},
                        {OS_ATTR_MAKE_MODE | OS_ATTR_LINK_DIR, 040775},
                        {OS_ATTR_DIR, 0640}};
    for (const auto& r : rows) {
        os_file_attr m{};
        m.type = r.type;
        m.mode = 0640;
        os_attr_to_stat(&m, &back);
        EXPECT_EQ(back.st_mode, r.mode) << std::hex << r.type;
    }
}

TEST(OsPathToPosix, Forms) {
    struct row {
        const char* src;
        const char* dst;
    };
    const row rows[] = {
        {"file:\\\\\\?\\c:\\x", "c:/x"},
        {"file:///?/c:/x", "c:/x"},
        {"file:\\\\?\\c:\\x", "?/c:/x"},  // only "\?\" right after the prefix is dropped
        {"file://tmp/x", "tmp/x"},
        {"file:\\\\\\tmp\\x", "/tmp/x"},
        {"\\?\\c:\\x", "/?/c:/x"},  // without the prefix it is a path like any other
        {"/tmp/x", "/tmp/x"},
        {"\\tmp\\x", "/tmp/x"},
        {"FILE://x", "FILE://x"},
        {"", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.src);
        char dst[64];
        memset(dst, 'Z', sizeof dst);
        EXPECT_STREQ(os_path_to_posix(r.src, dst, sizeof dst), r.dst);
    }
    // In place.
    char buf[64] = "file:///?/c:/dir/f";
    EXPECT_STREQ(os_path_to_posix(buf, buf, sizeof buf), "c:/dir/f");
}

// A result that does not fit is not cut into another path.
TEST(OsPathToPosix, NoSilentCut) {
    char dst[8];
    errno = 0;
    EXPECT_STREQ(os_path_to_posix("/tmp/abcdef", dst, sizeof dst), "");
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(os_path_to_posix("/tmp/ab", dst, sizeof dst), "/tmp/ab");
    EXPECT_STREQ(os_path_to_posix("file:///?/c:/abcd", dst, sizeof dst), "c:/abcd");
    std::string huge(9000, 'a');
    char big[16384];
    EXPECT_STREQ(os_path_to_posix(huge.c_str(), big, sizeof big), "");
    EXPECT_STREQ(os_path_to_posix(nullptr, dst, sizeof dst), "");
}

TEST(OsPathCopy, Strict) {
    char dst[8];
    EXPECT_STREQ(os_path_copy("/a/b", dst, sizeof dst), "/a/b");
    log_capture cap;
    EXPECT_STREQ(os_path_copy("/a/b/c/d/e", dst, sizeof dst), "");
    EXPECT_GE(cap.count(), 1u);
}

TEST(OsRealpath, CanonicalOrEmpty) {
    temp_dir tmp;
    mkdir(tmp.file("sub").c_str(), 0755);
    write_file(tmp.file("f"), "x");
    char canon[4096];
    ASSERT_NE(realpath(tmp.file("f").c_str(), canon), nullptr);
    char out[4096];
    EXPECT_STREQ(os_realpath((tmp.path + "/./sub/../f").c_str(), out), canon);
    EXPECT_STREQ(os_realpath(("file://" + tmp.path + "/sub/../f").c_str(), out), canon);
    strcpy(out, "junk");
    EXPECT_STREQ(os_realpath(tmp.file("missing").c_str(), out), "");
}

TEST(OsUtimens, SetsTimesOfPathOrLink) {
    temp_dir tmp;
    write_file(tmp.file("f"), "x");
    ASSERT_EQ(symlink("f", tmp.file("l").c_str()), 0);
    os_utimens_times t{{1000, 123}, {2000, 456}};
    ASSERT_EQ(os_utimens(tmp.file("l").c_str(), &t), 0);  // follows the link
    struct stat st;
    ASSERT_EQ(stat(tmp.file("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1000);
    EXPECT_EQ(st.st_atim.tv_nsec, 123);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 456);

    os_utimens_times lt{{3000, 0}, {4000, 0}};
    ASSERT_EQ(os_lutimens(tmp.file("l").c_str(), &lt), 0);
    ASSERT_EQ(lstat(tmp.file("l").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 4000);
    ASSERT_EQ(stat(tmp.file("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);  // the target is untouched

    time_t before = time(nullptr);
    ASSERT_EQ(os_utimens(tmp.file("f").c_str(), nullptr), 0);
    ASSERT_EQ(stat(tmp.file("f").c_str(), &st), 0);
    EXPECT_GE(st.st_mtim.tv_sec, before);
    EXPECT_EQ(os_utimens(tmp.file("missing").c_str(), &t), -1);
}

TEST(OsPathOps, Wrappers) {
    temp_dir tmp;
    umask_guard um;
    write_file(tmp.file("f"), "123456");
    std::string f = "file://" + tmp.file("f");  // every wrapper normalises

    ASSERT_EQ(os_truncate(f.c_str(), 3), 0);
    EXPECT_EQ(read_file(tmp.file("f")), "123");
    errno = 0;
    EXPECT_EQ(os_truncate(f.c_str(), UINT64_MAX), -1);
    EXPECT_EQ(errno, EFBIG);

    ASSERT_EQ(os_chmod(f.c_str(), 0600), 0);
    EXPECT_EQ(perm_of(tmp.file("f")), 0600);
    ASSERT_EQ(os_chown(f.c_str(), getuid(), getgid()), 0);

    ASSERT_EQ(os_symlink("f", (tmp.path + "//l").c_str()), 0);
    char target[64] = {};
    ASSERT_EQ(readlink(tmp.file("l").c_str(), target, sizeof target - 1), 1);
    EXPECT_STREQ(target, "f");
    ASSERT_EQ(os_lchown(tmp.file("l").c_str(), getuid(), getgid()), 0);
    errno = 0;
    EXPECT_EQ(os_lchmod(tmp.file("l").c_str(), 0600), -1);  // links have no mode of their own here
    EXPECT_EQ(errno, EOPNOTSUPP);

    ASSERT_EQ(os_link(f.c_str(), tmp.file("h").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(tmp.file("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);

    ASSERT_EQ(os_mkfifo(tmp.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(lstat(tmp.file("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(os_mknod(tmp.file("fifo2").c_str(), S_IFIFO | 0644, 0), 0);
    ASSERT_EQ(lstat(tmp.file("fifo2").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    ASSERT_EQ(os_remove(tmp.file("h").c_str()), 0);
    EXPECT_FALSE(path_exists(tmp.file("h")));
    mkdir(tmp.file("d").c_str(), 0755);
    ASSERT_EQ(os_remove(tmp.file("d").c_str()), 0);
    EXPECT_EQ(os_remove(tmp.file("d").c_str()), -1);

    mode_t prev = os_umask(022);
    EXPECT_EQ(prev, 0u);
    EXPECT_EQ(os_umask(0), 022u);
}

// Every path service fails cleanly on a path that does not fit 4096 bytes.
TEST(OsPathOps, TooLongPathsFail) {
    temp_dir tmp;
    write_file(tmp.file("f"), "x");
    std::string lp = too_long_path(tmp.path);
    const char* l = lp.c_str();
    std::string fs = tmp.file("f");
    os_file_attr a{};
    os_utimens_times t{};
    const std::pair<const char*, std::function<int()>> calls[] = {
        {"truncate", [&] { return os_truncate(l, 0); }},
        {"utimens", [&] { return os_utimens(l, &t); }},
        {"stat", [&] { return os_stat(l, &a); }},
        {"lstat", [&] { return os_lstat(l, &a); }},
        {"rename from", [&] { return os_rename(l, fs.c_str(), 1); }},
        {"rename to", [&] { return os_rename(fs.c_str(), l, 1); }},
        {"remove", [&] { return os_remove(l); }},
        {"mkfifo", [&] { return os_mkfifo(l, 0600); }},
        {"symlink", [&] { return os_symlink(fs.c_str(), l); }},
        {"link", [&] { return os_link(fs.c_str(), l); }},
        {"chmod", [&] { return os_chmod(l, 0600); }},
        {"chown", [&] { return os_chown(l, 0, 0); }},
        {"rmdir", [&] { return os_rmdir(l); }},
        {"mkdir", [&] { return os_mkdir(l, 0700); }},
    };
    log_capture cap;
    for (const auto& c : calls) {
        SCOPED_TRACE(c.first);
        errno = 0;
        EXPECT_EQ(c.second(), -1);
        EXPECT_EQ(errno, ENAMETOOLONG);
    }
    EXPECT_EQ(read_file(fs), "x");
    char out[4096];
    EXPECT_STREQ(os_realpath(l, out), "");
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fileutil_fixture.h"
#include "libpal/os/os_fileutil.h"
#include "support/log_capture.h"

namespace {

using dir_ptr = std::unique_ptr<os_dir, void (*)(os_dir*)>;

dir_ptr open_dir(const std::string& path, const char* pattern = nullptr) {
    return dir_ptr(os_dir_open_match(path.c_str(), pattern), os_dir_close);
}

std::vector<std::string> read_names(os_dir* d) {
    std::vector<std::string> names;
    while (const os_dir_entry* e = os_dir_read(d)) names.emplace_back(e->name);
    return names;
}

TEST(OsMkdirs, CreatesChainAndRepeats) {
    temp_dir tmp;
    umask_guard um;
    std::string c = tmp.file("a/b/c");
    ASSERT_EQ(os_mkdirs(c.c_str()), 0);
    EXPECT_TRUE(is_dir(tmp.file("a")));
    EXPECT_TRUE(is_dir(tmp.file("a/b")));
    EXPECT_TRUE(is_dir(c));
    EXPECT_EQ(perm_of(c), 0755);
    EXPECT_EQ(os_mkdirs(c.c_str()), 0);
    // Backslashes, a trailing separator and doubled separators.
    ASSERT_EQ(os_mkdirs((tmp.path + "\\x\\y").c_str()), 0);
    EXPECT_TRUE(is_dir(tmp.file("x/y")));
    ASSERT_EQ(os_mkdirs((tmp.path + "//p//q/").c_str()), 0);
    EXPECT_TRUE(is_dir(tmp.file("p/q")));
}

// The prefix of a URL-style path becomes no directory of its own.
TEST(OsMkdirs, FileUrlMakesNoStrayDirectory) {
    temp_dir tmp;
    temp_dir work;
    cwd_guard cwd(work.path);
    ASSERT_EQ(os_mkdirs(("file://" + tmp.file("u/v")).c_str()), 0);
    EXPECT_TRUE(is_dir(tmp.file("u/v")));
    EXPECT_FALSE(path_exists(work.file("file:")));
    // A relative chain lands in the working directory.
    ASSERT_EQ(os_mkdirs("r/s"), 0);
    EXPECT_TRUE(is_dir(work.file("r/s")));
}

TEST(OsMkdirs, FileInTheWay) {
    temp_dir tmp;
    write_file(tmp.file("f"), "x");
    EXPECT_EQ(os_mkdirs(tmp.file("f/g").c_str()), -1);
    EXPECT_EQ(os_mkdirs(tmp.file("f").c_str()), -1);
    errno = 0;
    EXPECT_EQ(os_mkdir(tmp.file("f").c_str(), 0700), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(os_mkdir(tmp.path.c_str(), 0700), 0);  // an existing directory
    log_capture cap;
    errno = 0;
    EXPECT_EQ(os_mkdirs(too_long_path(tmp.path).c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(OsMkdirs, Parent) {
    temp_dir tmp;
    ASSERT_EQ(os_mkdirs_parent(tmp.file("m/n/file").c_str()), 0);
    EXPECT_TRUE(is_dir(tmp.file("m/n")));
    EXPECT_FALSE(path_exists(tmp.file("m/n/file")));
    EXPECT_EQ(os_mkdirs_parent("no-separator"), 0);
    EXPECT_FALSE(path_exists("no-separator"));
    EXPECT_EQ(os_mkdirs_parent("/at-root"), 0);
    ASSERT_EQ(os_rmdir(tmp.file("m/n").c_str()), 0);
    EXPECT_FALSE(path_exists(tmp.file("m/n")));
    EXPECT_EQ(os_rmdir(tmp.file("m/n").c_str()), -1);
}

// A directory with a subdirectory, files, links to a directory and to a
// file, and a dangling link.
struct dir_fixture {
    temp_dir tmp;
    dir_fixture() {
        mkdir(tmp.file("sub").c_str(), 0755);
        write_file(tmp.file("f.txt"), "12345");
        write_file(tmp.file("g.dat"), "1");
        (void)!symlink("sub", tmp.file("link_dir").c_str());
        (void)!symlink("f.txt", tmp.file("link_file").c_str());
        (void)!symlink("nowhere", tmp.file("dangling").c_str());
    }
};

TEST(OsDir, EntryTypesAndLinks) {
    dir_fixture fx;
    auto d = open_dir(fx.tmp.path);
    ASSERT_TRUE(d);
    std::map<std::string, os_dir_entry> seen;
    while (const os_dir_entry* e = os_dir_read(d.get())) seen[e->name] = *e;
    ASSERT_EQ(seen.size(), 8u);  // with "." and ".."
    struct row {
        const char* name;
        uint32_t type;
        const char* link;
    };
    const row rows[] = {
        {".", OS_ATTR_DIR, ""},          {"..", OS_ATTR_DIR, ""},
        {"sub", OS_ATTR_DIR, ""},        {"f.txt", OS_ATTR_OTHER, ""},
        {"g.dat", OS_ATTR_OTHER, ""},    {"link_dir", OS_ATTR_LINK_DIR, "sub"},
        {"link_file", OS_ATTR_LINK, "f.txt"}, {"dangling", OS_ATTR_LINK, "nowhere"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(seen.count(r.name));
        const os_dir_entry& e = seen[r.name];
        EXPECT_EQ(e.attr.type, r.type);
        EXPECT_STREQ(e.link, r.link);
        struct stat st;
        ASSERT_EQ(lstat(fx.tmp.file(r.name).c_str(), &st), 0);
        EXPECT_EQ(e.attr.ino, st.st_ino);  // the entry's own record, not its target's
        EXPECT_EQ(e.attr.mode, st.st_mode);
    }
    EXPECT_EQ(seen["f.txt"].attr.size, 5u);
    EXPECT_EQ(seen["link_file"].attr.size, 5u);  // the link text "f.txt"
    EXPECT_EQ(os_dir_tell(d.get()), 8);
}

TEST(OsDir, PatternCountsEveryEntry) {
    dir_fixture fx;
    auto d = open_dir("file://" + fx.tmp.path + "/", "*.txt|link_*");
    ASSERT_TRUE(d);
    EXPECT_STREQ(os_dir_path(d.get()), (fx.tmp.path + "/").c_str());
    auto names = read_names(d.get());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"f.txt", "link_dir", "link_file"}));
    EXPECT_EQ(os_dir_tell(d.get()), 8);  // non-matching entries were read too
    // The match is case-sensitive.
    auto upper = open_dir(fx.tmp.path, "*.TXT");
    ASSERT_TRUE(upper);
    EXPECT_TRUE(read_names(upper.get()).empty());
    // A pattern that matches the empty text still walks the directory.
    auto stars = open_dir(fx.tmp.path, "**");
    ASSERT_TRUE(stars);
    EXPECT_EQ(read_names(stars.get()).size(), 8u);
}

TEST(OsDir, SeekBackAndForward) {
    dir_fixture fx;
    auto d = open_dir(fx.tmp.path);
    ASSERT_TRUE(d);
    auto all = read_names(d.get());
    ASSERT_EQ(all.size(), 8u);
    ASSERT_EQ(os_dir_seek(d.get(), 2), 0);  // back
    EXPECT_EQ(os_dir_tell(d.get()), 2);
    const os_dir_entry* e = os_dir_read(d.get());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, all[2]);
    EXPECT_EQ(os_dir_tell(d.get()), 3);
    ASSERT_EQ(os_dir_seek(d.get(), 6), 0);  // forward
    e = os_dir_read(d.get());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, all[6]);
    ASSERT_EQ(os_dir_seek(d.get(), 0), 0);
    EXPECT_EQ(read_names(d.get()), all);
    ASSERT_EQ(os_dir_seek(d.get(), 8), 0);
    EXPECT_EQ(os_dir_read(d.get()), nullptr);
    EXPECT_EQ(os_dir_seek(d.get(), -1), -1);
}

// Seeking counts entries whether or not they match the pattern.
TEST(OsDir, SeekWithPattern) {
    dir_fixture fx;
    auto plain = open_dir(fx.tmp.path);
    ASSERT_TRUE(plain);
    auto all = read_names(plain.get());
    auto d = open_dir(fx.tmp.path, "*");
    ASSERT_TRUE(d);
    ASSERT_EQ(os_dir_seek(d.get(), 5), 0);
    const os_dir_entry* e = os_dir_read(d.get());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, all[5]);
}

TEST(OsDir, OpenFailures) {
    temp_dir tmp;
    write_file(tmp.file("f"), "x");
    errno = 0;
    EXPECT_FALSE(open_dir(tmp.file("missing")));
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_FALSE(open_dir(tmp.file("f")));
    EXPECT_EQ(errno, ENOTDIR);
    log_capture cap;
    errno = 0;
    EXPECT_FALSE(open_dir(too_long_path(tmp.path)));
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(os_dir_read(nullptr), nullptr);
    EXPECT_EQ(os_dir_tell(nullptr), -1);
    os_dir_close(nullptr);
}

TEST(OsDir, ConfPathFallsBackBesideExecutable) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = 0;
    std::string dir(exe);
    dir.resize(dir.rfind('/'));
    if (is_dir(dir + "/conf")) GTEST_SKIP() << "a conf directory exists beside the test program";
    char buf[4096];
    EXPECT_EQ(std::string(os_conf_path(buf, "kxdd.ini")), dir + "/kxdd.ini");
}

}  // namespace

// The "file" kind on regular files, directories, FIFOs and character
// devices.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "file_fixture.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "support/log_capture.h"

namespace {

os_file_info info_of(os_file_ctx* f, int* ok = nullptr) {
    os_file_info info;
    std::memset(&info, 0x5c, sizeof info);
    int rc = os_file_ioctl(f, OS_FILE_GET_INFO, &info, sizeof info);
    if (ok) *ok = rc;
    return info;
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

TEST(FileLocal, RegularFileSizeAndInfo) {
    temp_dir dir;
    std::string path = dir.file("ten-thousand");
    write_file(path, byte_pattern(10000));
    file_ptr f = open_file(path, OS_PF_RDONLY);
    ASSERT_TRUE(f);
    EXPECT_STREQ(kind_of(f), "file");
    EXPECT_EQ(os_file_seek(f.get(), 123, SEEK_SET), 123);
    EXPECT_EQ(os_file_size(f.get()), 10000);
    EXPECT_EQ(os_file_offset(f.get()), 123) << "the size leaves the offset alone";

    int ok = 0;
    os_file_info info = info_of(f.get(), &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(info.type, OS_FILE_TYPE_FILE);
    EXPECT_EQ(info.size, 10000u);
    EXPECT_EQ(info.offset, 123u);
    EXPECT_EQ(info.sector_size, 512u);
    EXPECT_STREQ(info.description, "");
    EXPECT_EQ(os_file_offset(f.get()), 123);

    EXPECT_EQ(os_file_get_info(path.c_str(), &info), 1);
    EXPECT_EQ(info.size, 10000u);
    EXPECT_EQ(info.offset, 0u);
}

TEST(FileLocal, ThingsWithoutSizeAreNotRead) {
    // Each of these must answer at once, with no read: an empty file, a
    // directory, and character devices whose reads never end or fail.
    temp_dir dir;
    write_file(dir.file("empty"), "");
    struct row {
        std::string path;
        uint32_t type;
        uint64_t size;
    };
    const row rows[] = {
        {dir.file("empty"), OS_FILE_TYPE_FILE, 0},
        {dir.path, OS_FILE_TYPE_DIR, static_cast<uint64_t>(stat_of(dir.path).st_size)},
        {"/dev/urandom", OS_FILE_TYPE_FILE, 0},
        {"/dev/full", OS_FILE_TYPE_FILE, 0},
    };
    for (const row& r : rows) {
        if (access(r.path.c_str(), R_OK) != 0) continue;
        file_ptr f = open_file(r.path, OS_PF_RDONLY);
        ASSERT_TRUE(f) << r.path;
        int ok = 0;
        os_file_info info = info_of(f.get(), &ok);
        EXPECT_EQ(ok, 1) << r.path;
        EXPECT_EQ(info.type, r.type) << r.path;
        EXPECT_EQ(info.size, r.size) << r.path;
        EXPECT_EQ(info.sector_size, 512u) << r.path;
        EXPECT_EQ(os_file_size(f.get()), static_cast<int64_t>(r.size)) << r.path;
    }
}

TEST(FileLocal, FifoKeepsItsDataThroughInfoAndBlocks) {
    temp_dir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int writer = open(fifo.c_str(), O_RDWR);  // a FIFO opened read-write never waits
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "hello", 5), 5);

    file_ptr f = open_file(fifo, OS_PF_RDONLY);
    ASSERT_TRUE(f);
    EXPECT_EQ(fcntl(os_file_fd(f.get()), F_GETFL) & O_NONBLOCK, 0) << "reads must wait, not fail with EAGAIN";
    int ok = 0;
    os_file_info info = info_of(f.get(), &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(info.type, OS_FILE_TYPE_FILE);
    EXPECT_EQ(info.size, 0u);
    EXPECT_EQ(info.sector_size, 512u);
    EXPECT_EQ(info.offset, 0u);
    EXPECT_EQ(os_file_size(f.get()), 0);

    close(writer);
    char buf[100] = {};
    EXPECT_EQ(os_file_read(f.get(), buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
}

// Under a stop request a FIFO is waited for in slices, at every transfer
// of the handle: what the descriptor is, learnt at the first one, holds
// for the next. A regular file under the same request is read at once.
TEST(FileLocal, AStopEndsTheWaitForAFifoAtEveryTransfer) {
    temp_dir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int writer = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "hello", 5), 5);
    std::atomic<uint32_t> stop{0};
    file_ptr f = open_file(fifo, OS_PF_RDONLY);
    ASSERT_TRUE(f);
    os_file_set_stop(f.get(), &stop);
    char buf[8] = {};
    EXPECT_EQ(os_file_read(f.get(), buf, 5), 5);
    // Nothing more to read: with the stop set, the read gives up at once. A
    // read that waited for data would be ended by the byte written later.
    stop.store(1);
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::thread rescue([&] {
        std::unique_lock<std::mutex> lk(mu);
        if (!cv.wait_for(lk, std::chrono::seconds(10), [&] { return done; })) (void)!write(writer, "x", 1);
    });
    errno = 0;
    EXPECT_EQ(os_file_read(f.get(), buf, 1), -1);
    EXPECT_EQ(errno, EINTR);
    {
        std::lock_guard<std::mutex> lk(mu);
        done = true;
    }
    cv.notify_all();
    rescue.join();
    close(writer);

    std::string path = dir.file("plain");
    write_file(path, "0123456789");
    file_ptr g = open_file(path, OS_PF_RDONLY);
    ASSERT_TRUE(g);
    os_file_set_stop(g.get(), &stop);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(os_file_read(g.get(), buf, 5), 5);
}

TEST(FileLocal, AppendFlagWritesAtTheGivenOffset) {
    temp_dir dir;
    std::string path = dir.file("four-blocks");
    const std::string before = block_pattern(4);
    const std::string block(512, 'Z');
    for (uint32_t flags : {OS_PF_RDWR | OS_PF_APPEND, OS_PF_RDWR | OS_PF_CREATE | OS_PF_APPEND,
                           OS_PF_WRONLY | OS_PF_APPEND}) {
        write_file(path, before);
        {
            file_ptr f = open_file(path, flags);
            ASSERT_TRUE(f) << flags;
            EXPECT_EQ(fcntl(os_file_fd(f.get()), F_GETFL) & O_APPEND, 0);
            EXPECT_EQ(os_file_pwrit(f.get(), block.data(), block.size(), 512), 512);
            // The current-position write goes to the current position (0).
            EXPECT_EQ(os_file_write(f.get(), "W", 1), 1);
        }
        std::string want = before;
        want.replace(512, 512, block);
        want[0] = 'W';
        EXPECT_TRUE(read_file(path) == want) << "flags " << flags;
    }
}

TEST(FileLocal, FullDeviceReportsNoSpace) {
    file_ptr f = open_file("/dev/full", OS_PF_WRONLY);
    ASSERT_TRUE(f);
    std::vector<char> buf(4096, 'x');
    errno = 0;
    EXPECT_EQ(os_file_write(f.get(), buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(os_verr_get(errno), VERR_DISK_FULL);
    uint64_t cls = 0;
    EXPECT_EQ(os_file_ioctl(f.get(), OS_FILE_GET_ERROR, &cls, sizeof cls), 1);
    EXPECT_EQ(cls, static_cast<uint64_t>(OS_FILE_ERR_OTHER));
    EXPECT_EQ(os_file_fsync(f.get()), 1) << "a device that cannot be synchronised has nothing to flush";
}

TEST(FileLocal, TransfersAtTheEndOfData) {
    temp_dir dir;
    std::string path = dir.file("thousand");
    std::string data = byte_pattern(1000);
    write_file(path, data);
    file_ptr f = open_file(path, OS_PF_RDWR);
    std::vector<char> buf(4096);
    EXPECT_EQ(os_file_pread(f.get(), buf.data(), buf.size(), 0), 1000);
    EXPECT_EQ(std::string(buf.data(), 1000), data);
    EXPECT_EQ(os_file_pread(f.get(), buf.data(), buf.size(), 5000), 0);
    EXPECT_EQ(os_file_read(f.get(), buf.data(), 600), 600);
    EXPECT_EQ(os_file_read(f.get(), buf.data(), 600), 400);
    EXPECT_EQ(os_file_read(f.get(), buf.data(), 600), 0);
    errno = 0;
    EXPECT_EQ(os_file_pread(f.get(), buf.data(), 10, -1), -1);
    EXPECT_EQ(errno, EINVAL);

    EXPECT_EQ(os_file_ftruncate(f.get(), 100), 1);
    EXPECT_EQ(os_file_size(f.get()), 100);
    EXPECT_EQ(os_file_fsync(f.get()), 1);
}

TEST(FileLocal, VectorTransfersKeepTheOffset) {
    temp_dir dir;
    std::string path = dir.file("vec");
    write_file(path, std::string(300, '.'));
    file_ptr f = open_file(path, OS_PF_RDWR);
    ASSERT_TRUE(f);
    ASSERT_EQ(os_file_seek(f.get(), 7, SEEK_SET), 7);

    char a[] = "alpha", b[] = "", c[] = "gamma!";
    iovec out[] = {{a, 5}, {b, 0}, {c, 6}};
    EXPECT_EQ(os_file_pwritv(f.get(), out, 3, 100), 11);
    char x[5] = {}, y[6] = {};
    iovec in[] = {{x, sizeof x}, {y, sizeof y}};
    EXPECT_EQ(os_file_preadv(f.get(), in, 2, 100), 11);
    EXPECT_EQ(std::string(x, 5) + std::string(y, 6), "alphagamma!");
    EXPECT_EQ(os_file_offset(f.get()), 7) << "positioned vector forms do not move the offset";

    EXPECT_EQ(os_file_writv(f.get(), out, 3), 11);
    EXPECT_EQ(os_file_offset(f.get()), 18);
    EXPECT_EQ(read_file(path).substr(7, 11), "alphagamma!");
    EXPECT_EQ(os_file_seek(f.get(), 295, SEEK_SET), 295);
    EXPECT_EQ(os_file_readv(f.get(), in, 2), 5) << "end of data";

    log_capture cap;
    EXPECT_EQ(os_file_preadv(f.get(), in, 0, 0), -1);
    EXPECT_EQ(os_file_writv(f.get(), nullptr, 1), -1);
    EXPECT_TRUE(cap.contains("expr[file && list && size]: assert failed")) << cap.all();
}

TEST(FileLocal, CreateMakesTheMissingDirectories) {
    temp_dir dir;
    std::string path = dir.file("a/b/c/new");
    errno = 0;
    EXPECT_FALSE(open_file(path, OS_PF_WRONLY)) << "without create nothing is made";
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(access(dir.file("a").c_str(), F_OK), 0);

    {
        file_ptr f = open_file(path, OS_PF_WRONLY | OS_PF_CREATE);
        ASSERT_TRUE(f) << errno;
        EXPECT_EQ(os_file_write(f.get(), "data", 4), 4);
    }
    EXPECT_EQ(read_file(path), "data");
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(stat_of(path).st_mode & 0777, 0644u & ~mask);

    // Create on an existing file keeps it unless truncation is asked.
    { file_ptr f = open_file(path, OS_PF_RDWR | OS_PF_CREATE); }
    EXPECT_EQ(read_file(path), "data");
    { file_ptr f = open_file(path, OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC); }
    EXPECT_EQ(read_file(path), "");
}

TEST(FileLocal, CreateWithoutPermissionCreatesNothing) {
    temp_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    std::string locked = dir.file("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
    // Root ignores permissions, so the attempt runs in a child that has
    // given them up.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
        errno = 0;
        os_file_ctx* direct = os_file_open((locked + "/f").c_str(), OS_PF_WRONLY | OS_PF_CREATE);
        int e1 = errno;
        os_file_ctx* nested = os_file_open((locked + "/sub/f").c_str(), OS_PF_WRONLY | OS_PF_CREATE);
        if (direct || nested) _exit(11);
        _exit(e1 == EACCES ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(access((locked + "/f").c_str(), F_OK), 0);
    EXPECT_NE(access((locked + "/sub").c_str(), F_OK), 0);
}

TEST(FileLocal, OpenFailuresLeaveErrno) {
    temp_dir dir;
    struct row {
        std::string path;
        uint32_t flags;
        int err;
    };
    const row rows[] = {
        {dir.file("missing"), OS_PF_RDONLY, ENOENT},
        {dir.path, OS_PF_WRONLY, EISDIR},
        {"/" + std::string(5000, 'x'), OS_PF_RDONLY, ENAMETOOLONG},
    };
    for (const row& r : rows) {
        log_capture cap;  // the long path logs its overflow
        errno = 0;
        EXPECT_FALSE(open_file(r.path, r.flags)) << r.path.substr(0, 40);
        EXPECT_EQ(errno, r.err) << r.path.substr(0, 40);
    }
}

TEST(FileLocal, ControlCodes) {
    temp_dir dir;
    std::string path = dir.file("ctl");
    write_file(path, "0123456789");
    file_ptr f = open_file(path, OS_PF_RDWR);
    ASSERT_TRUE(f);

    os_file_attr attr{};
    ASSERT_EQ(os_file_stat(f.get(), &attr), 1);
    EXPECT_EQ(attr.type, OS_ATTR_OTHER);
    EXPECT_EQ(attr.size, 10u);
    EXPECT_EQ(attr.ino, stat_of(path).st_ino);
    EXPECT_EQ(attr.nlink, 1u);

    os_file_times t{{1000, 5}, {2000, 7}, {1000, 5}};
    ASSERT_EQ(os_file_set_times(f.get(), &t), 1);
    struct stat st = stat_of(path);
    EXPECT_EQ(st.st_atim.tv_sec, 1000);
    EXPECT_EQ(st.st_atim.tv_nsec, 5);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 7);
    os_file_times only_mtime{{0, 0}, {3000, 0}, {0, 0}};
    ASSERT_EQ(os_file_set_times(f.get(), &only_mtime), 1);
    st = stat_of(path);
    EXPECT_EQ(st.st_atim.tv_sec, 1000) << "a time with zero seconds is left as it was";
    EXPECT_EQ(st.st_mtim.tv_sec, 3000);

    EXPECT_EQ(os_file_chmod(f.get(), 0600), 1);
    EXPECT_EQ(stat_of(path).st_mode & 0777, 0600u);
    EXPECT_EQ(os_file_chown(f.get(), getuid(), getgid()), 1);

    os_file_lock_req lock{OS_FILE_LOCK_WRITE | OS_FILE_LOCK_NOWAIT, 0, 5};
    EXPECT_EQ(os_file_lock(f.get(), &lock), 1);
    os_file_lock_req unlock{OS_FILE_UNLOCK, 0, 5};
    EXPECT_EQ(os_file_lock(f.get(), &unlock), 1);

    EXPECT_EQ(os_file_set_read_timeout(f.get(), 5000), 1);
    EXPECT_EQ(os_file_set_write_timeout(f.get(), 5000), 1);
    uint64_t arg = 0;
    for (uint32_t code : {7u, 8u, 11u, 100u}) {
        errno = 0;
        EXPECT_EQ(os_file_ioctl(f.get(), code, &arg, sizeof arg), 0) << code;
        EXPECT_EQ(errno, EPERM) << code;
    }
    os_file_info small{};
    EXPECT_EQ(os_file_ioctl(f.get(), OS_FILE_GET_INFO, &small, 8), 0) << "a short record is refused";
}

TEST(FileLocal, LocksExcludeOtherProcesses) {
    temp_dir dir;
    std::string path = dir.file("locked");
    write_file(path, std::string(100, 'x'));
    file_ptr f = open_file(path, OS_PF_RDWR);
    os_file_lock_req lock{OS_FILE_LOCK_WRITE, 10, 20};
    ASSERT_EQ(os_file_lock(f.get(), &lock), 1);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        os_file_ctx* g = os_file_open(path.c_str(), OS_PF_RDWR);
        os_file_lock_req overlap{OS_FILE_LOCK_READ | OS_FILE_LOCK_NOWAIT, 25, 10};
        os_file_lock_req apart{OS_FILE_LOCK_READ | OS_FILE_LOCK_NOWAIT, 40, 10};
        int a = os_file_lock(g, &overlap), b = os_file_lock(g, &apart);
        _exit(a == 0 && b == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(FileLocal, DeleteOnClose) {
    temp_dir dir;
    std::string keep = dir.file("keep"), drop = dir.file("drop");
    write_file(keep, "k");
    write_file(drop, "d");
    os_file_ctx* a = os_file_open(keep.c_str(), OS_PF_RDONLY);
    os_file_ctx* b = os_file_open(("file://" + drop).c_str(), OS_PF_RDONLY);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(os_file_set_delete(b, 1), 1);
    EXPECT_EQ(os_file_close(a), 1);
    EXPECT_EQ(os_file_close(b), 1);
    EXPECT_EQ(access(keep.c_str(), F_OK), 0);
    EXPECT_NE(access(drop.c_str(), F_OK), 0);
}

TEST(FileLocal, ErrorClasses) {
    struct row {
        int kind;
        int err;
        int cls;
    };
    const row rows[] = {
        {0, 0, 0},  {0, EIO, 1},  {0, ENXIO, 2}, {0, ENOENT, 3}, {0, ENOSPC, 3}, {1, 0, 0},    {1, 2, 2},
        {1, 55, 2}, {1, 1117, 2}, {1, 23, 1},    {1, 5, 3},      {1, EIO, 3},    {2, EIO, 1},
    };
    for (const row& r : rows) EXPECT_EQ(os_file_err_class(r.kind, r.err), r.cls) << r.kind << "/" << r.err;
}

TEST(FileLocal, Readlink) {
    temp_dir dir;
    std::string link = dir.file("link");
    ASSERT_EQ(symlink("target/file", link.c_str()), 0);
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(os_readlink(link.c_str(), buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "target/file");
    EXPECT_EQ(os_readlink(dir.file("none").c_str(), buf, sizeof buf), -1);
}

TEST(FileLocal, OpenByAccessRightsAndPortableFlags) {
    temp_dir dir;
    std::string path = dir.file("x");
    write_file(path, "old");
    constexpr uint32_t GENERIC_READ = 0x80000000, GENERIC_WRITE = 0x40000000;
    errno = 0;
    EXPECT_EQ(os_file_open2(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, 1, 0), nullptr);
    EXPECT_EQ(errno, EEXIST);
    os_file_ctx* f = os_file_open2(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, 2, 0);
    ASSERT_TRUE(f);
    EXPECT_EQ(os_file_size(f), 0) << "create-always truncates";
    EXPECT_EQ(os_file_close(f), 1);

    std::string fresh = dir.file("fresh");
    f = os_file_open3(fresh.c_str(), 1 | OS_OF_CREATE, 0600);
    ASSERT_TRUE(f);
    EXPECT_EQ(os_file_write(f, "n", 1), 1);
    EXPECT_EQ(os_file_close(f), 1);
    EXPECT_EQ(stat_of(fresh).st_mode & 0777, 0600u);
    EXPECT_EQ(read_file(fresh), "n");
}

}  // namespace

// ---- the plain write-everything loop on a descriptor ----

namespace {

std::string drain(int fd) {
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    return got;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
    return s;
}

}  // namespace

// Ends: nothing to write, a device that takes nothing, a closed descriptor.
TEST(fd_write_all, failures_keep_errno) {
    EXPECT_TRUE(os_fd_write_all(-1, "", 0));  // nothing to write touches nothing
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    errno = 0;
    EXPECT_FALSE(os_fd_write_all(full, "abc", 3));
    EXPECT_EQ(errno, ENOSPC);
    close(full);
    errno = 0;
    EXPECT_FALSE(os_fd_write_all(-1, "abc", 3));
    EXPECT_EQ(errno, EBADF);
}

// A descriptor that does not wait takes a part, then says EAGAIN: the part
// is written in order and the loop gives up instead of spinning.
TEST(fd_write_all, short_write_then_eagain) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    const int cap = fcntl(p[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(cap, 0);
    const std::string data = pattern(static_cast<size_t>(cap) * 3 + 17);
    errno = 0;
    EXPECT_FALSE(os_fd_write_all(p[1], data.data(), data.size()));
    EXPECT_EQ(errno, EAGAIN);
    close(p[1]);
    EXPECT_EQ(drain(p[0]), data.substr(0, static_cast<size_t>(cap)));
    close(p[0]);
}

// A waiting writer on a full pipe, interrupted by a signal that does not
// restart calls: whether the signal lands in the write (EINTR, or a
// partial count) or beside it, every byte arrives once and in order.
TEST(fd_write_all, signals_and_partial_writes_lose_nothing) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked write returns early
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    const int cap = fcntl(p[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(cap, 0);
    const std::string data = pattern(static_cast<size_t>(cap) * 16 + 5);
    bool ok = false;
    int err = 0;
    std::thread writer([&] {
        ok = os_fd_write_all(p[1], data.data(), data.size());
        err = errno;
        close(p[1]);
    });
    std::string got;
    char buf[1024];
    ssize_t n;
    // Each small read frees room the writer is waiting for; each signal may
    // land in a write that has taken part of its bytes or none.
    while ((n = read(p[0], buf, sizeof buf)) != 0) {
        if (n < 0) {
            ASSERT_EQ(errno, EINTR);
            continue;
        }
        got.append(buf, static_cast<size_t>(n));
        if (got.size() < data.size()) pthread_kill(writer.native_handle(), SIGUSR1);
    }
    writer.join();
    close(p[0]);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ok) << strerror(err);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

// Record locks between two processes: the non-waiting form fails at once,
// the waiting form gets the range once it is released.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "libpal/os/posix/os_fd_lock.h"
#include "support/proc.h"

namespace {

struct lock_file {
    temp_dir dir;
    int fd;
    lock_file() {
        fd = open(dir.file("locked").c_str(), O_RDWR | O_CREAT, 0644);
    }
    ~lock_file() { close(fd); }
};

// Runs fn in a child process and gives its exit status.
template <class Fn>
int in_child(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(FdLock, NonWaitingFormsAgainstAHeldRange) {
    lock_file f;
    ASSERT_GE(f.fd, 0);
    ASSERT_EQ(os_fd_lock(f.fd, 2, 0, 100), 0);  // write lock on [0, 100)
    struct row {
        uint32_t op;
        uint64_t start, length;
        int result;
    };
    const row rows[] = {
        {0x11, 0, 100, -1},   // read, not waiting: the range is taken
        {0x12, 50, 10, -1},   // write inside it
        {0x12, 100, 50, 0},   // write just after it
        {0x11, 200, 0, 0},    // read to any end, away from it
    };
    for (const auto& r : rows) {
        int status = in_child([&] {
            int fd = open(f.dir.file("locked").c_str(), O_RDWR);
            int res = os_fd_lock(fd, r.op, r.start, r.length);
            bool busy = res == -1 && (errno == EAGAIN || errno == EACCES);
            return res == 0 ? 0 : busy ? 1 : 2;
        });
        EXPECT_EQ(status, r.result == 0 ? 0 : 1) << std::hex << r.op << " " << r.start;
    }
    // Two read locks share a range.
    ASSERT_EQ(os_fd_unlock(f.fd, 0, 0, 100), 0);
    ASSERT_EQ(os_fd_lock(f.fd, 1, 0, 100), 0);
    EXPECT_EQ(in_child([&] {
                  int fd = open(f.dir.file("locked").c_str(), O_RDWR);
                  return os_fd_lock(fd, 0x11, 0, 100) == 0 ? 0 : 1;
              }),
              0);
}

TEST(FdLock, WaitingFormGetsTheRangeOnceReleased) {
    lock_file f;
    ASSERT_GE(f.fd, 0);
    ASSERT_EQ(os_fd_lock(f.fd, 2, 0, 10), 0);
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(f.dir.file("locked").c_str(), O_RDWR);
        char c = 'w';
        (void)!write(from_child[1], &c, 1);  // about to wait
        int r = os_fd_lock(fd, 1, 0, 10);
        c = r == 0 ? 'L' : 'E';
        (void)!write(from_child[1], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(from_child[0], &c, 1), 1);
    EXPECT_EQ(c, 'w');
    // While the range is held the child cannot have it: nothing more can be
    // in the pipe yet.
    pollfd p{from_child[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    ASSERT_EQ(os_fd_unlock(f.fd, 0, 0, 10), 0);
    ASSERT_EQ(read(from_child[0], &c, 1), 1);
    EXPECT_EQ(c, 'L');
    int st = 0;
    waitpid(pid, &st, 0);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
}

}  // namespace

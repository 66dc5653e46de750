// Serial ports, driven through a pseudo-terminal pair.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "libpal/os/posix/os_serial.h"
#include "support/log_capture.h"

namespace {

struct pty_pair {
    int master = -1;
    std::string slave;
    pty_pair() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = ptsname(master);
    }
    ~pty_pair() {
        if (master >= 0) close(master);
    }
};

TEST(Serial, OpenSetsRateAndRawMode) {
    pty_pair p;
    ASSERT_FALSE(p.slave.empty());
    for (uint32_t baud : {38400u, 9600u, 300u}) {
        int fd = os_serial_open(p.slave.c_str(), baud, 0);
        ASSERT_GE(fd, 0) << baud;
        struct termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        speed_t expect = baud == 38400 ? B38400 : baud == 9600 ? B9600 : B300;
        EXPECT_EQ(cfgetispeed(&t), expect);
        EXPECT_EQ(cfgetospeed(&t), expect);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        os_serial_close(fd);
    }
}

TEST(Serial, OpenFailures) {
    pty_pair p;
    ASSERT_FALSE(p.slave.empty());
    log_capture cap;
    EXPECT_EQ(os_serial_open(p.slave.c_str(), 1234, 0), -1);
    EXPECT_TRUE(cap.contains("BaudRate=1234 invaild\n"));
    EXPECT_EQ(os_serial_open("/nonexistent/tty", 9600, 0), -1);
    EXPECT_TRUE(cap.contains("open /nonexistent/tty error: No such file or directory\n")) << cap.all();
    EXPECT_EQ(os_serial_open("/dev/null", 9600, 0), -1) << "not a terminal";
    EXPECT_TRUE(cap.contains("tcgetattr error: "));
}

TEST(Serial, ReadAndWrite) {
    pty_pair p;
    ASSERT_FALSE(p.slave.empty());
    int fd = os_serial_open(p.slave.c_str(), 9600, 0);
    ASSERT_GE(fd, 0);
    char buf[16] = {};
    EXPECT_EQ(os_serial_read(fd, buf, sizeof buf, 0), 0) << "nothing there: a time-out";

    ASSERT_EQ(write(p.master, "abcdef", 6), 6);
    EXPECT_EQ(os_serial_read(fd, buf, 6, 5000), 6) << "returns as soon as the buffer is full";
    EXPECT_EQ(std::string(buf, 6), "abcdef");

    ASSERT_EQ(write(p.master, "xyz", 3), 3);
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(os_serial_read(fd, buf, sizeof buf, 50), 3) << "what arrived within the time";
    EXPECT_EQ(std::string(buf, 3), "xyz");

    EXPECT_EQ(os_serial_write(fd, "hello", 5), 5);
    char got[8] = {};
    ssize_t n = 0;
    while (n < 5) {
        ssize_t k = read(p.master, got + n, sizeof got - static_cast<size_t>(n));
        ASSERT_GT(k, 0);
        n += k;
    }
    EXPECT_EQ(std::string(got, 5), "hello");
    os_serial_close(fd);
    EXPECT_EQ(os_serial_write(fd, "x", 1), -1) << "closed";
}

}  // namespace

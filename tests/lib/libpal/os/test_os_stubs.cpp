// The named-pipe stub, the empty platform hooks, and the path-normalising
// access and chdir.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "libpal/os/os_fopen.h"
#include "libpal/os/posix/name_pipe_srv.h"
#include "libpal/os/posix/os_system.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

TEST(NamePipeSrv, StubHandle) {
    temp_dir d;
    std::string fifo = d.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opening does not wait for a writer.
    os_name_pipe_srv* h = os_name_pipe_srv_open(fifo.c_str(), 0, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->state, 0u);
    char buf[4];
    h->state = 7;
    EXPECT_EQ(os_name_pipe_srv_read(h, buf, sizeof buf, 10), -1);
    EXPECT_EQ(h->state, 0u);
    EXPECT_EQ(os_name_pipe_srv_write(h, "x", 1), -1);
    EXPECT_EQ(os_name_pipe_srv_get_err(h), 0u);
    for (auto fn : {os_name_pipe_srv_disconnect, os_name_pipe_srv_cancel, os_name_pipe_srv_flush}) {
        h->state = 7;
        EXPECT_EQ(fn(h), 0);
        EXPECT_EQ(h->state, 0u);
    }
    EXPECT_EQ(os_name_pipe_srv_close(h), 0);

    log_capture cap;
    EXPECT_EQ(os_name_pipe_srv_open(d.file("missing").c_str(), 0, 0), nullptr);
    EXPECT_TRUE(cap.contains("name_pipe=" + d.file("missing") + " error:No such file or directory\n")) << cap.all();
}

TEST(PlatformHooks, DoNothing) {
    temp_dir d;
    EXPECT_EQ(os_hibernate_disable(), 0);
    EXPECT_EQ(os_hibernate_restore(), 0);
    log_capture cap;
    std::string cmd = "touch " + d.file("ran");
    EXPECT_EQ(os_system(cmd.c_str()), 0);
    EXPECT_TRUE(cap.contains("'system' not available on this platform\n"));
    struct stat st;
    EXPECT_NE(stat(d.file("ran").c_str(), &st), 0) << "no command runs";
}

TEST(OsAccessChdir, NormalisedPaths) {
    temp_dir d;
    write_file(d.file("f"), "x");
    struct row {
        std::string path;
        int result;
    };
    const row rows[] = {
        {d.file("f"), 0},
        {d.path + "//f", 0},                  // doubled slashes
        {" " + d.path + "/f ", -1},            // blanks are part of a Linux name
        {"file://" + d.file("f"), 0},          // a local URL
        {d.path + "\\f", -1},                 // so is a backslash
        {d.file("missing"), -1},
        {std::string(5000, 'a'), -1},         // too long
    };
    log_capture cap;  // the overlong path is logged
    for (const auto& r : rows) EXPECT_EQ(os_access(r.path.c_str(), R_OK), r.result) << r.path.substr(0, 80);
    EXPECT_EQ(os_access(nullptr, R_OK), -1);

    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    EXPECT_EQ(os_chdir(("file://" + d.path + "/").c_str()), 0);
    char now[4096];
    ASSERT_NE(getcwd(now, sizeof now), nullptr);
    EXPECT_EQ(std::string(now), d.path);
    EXPECT_EQ(os_chdir(d.file("missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(chdir(old), 0);
}

}  // namespace

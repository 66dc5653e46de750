// Saving never destroys the old file: a full disk, a missing directory or a
// file the caller may not write leave it as it was; a new file is private,
// an old one keeps its mode.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "conf_test_util.h"
#include "support/log_capture.h"

namespace {

const std::string k_old = "; sessions\n[session/a]\nuser=me\npwd=secret\n";

std::vector<std::string> dir_entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    return names;
}

mode_t mode_of(const std::string& path) {
    struct stat st{};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// Runs fn in a child process; its result is the child's exit status.
int in_child(int (*fn)(const std::string&), const std::string& arg) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(fn(arg));
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ConfSave, AFullDiskKeepsTheOldFileAndReportsFailure) {
    temp_dir dir;
    std::string path = dir.file("client.ini");
    write_file(path, k_old);
    // The file size limit stands for a full disk: writes beyond it fail.
    int status = in_child(
        [](const std::string& p) {
            signal(SIGXFSZ, SIG_IGN);
            conf_ctx* c = conf_load(p.c_str());
            if (!c) return 10;
            std::string big(64 * 1024, 'x');
            if (conf_set_string(c, "session/a", "blob", big.c_str()) != 0) return 11;
            rlimit lim{4096, 4096};
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 12;
            int r = conf_save(c);
            conf_close(c);
            return r == -1 ? 0 : 13;
        },
        path);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(path), k_old);
    // No temporary file is left behind.
    EXPECT_EQ(dir_entries(dir.path), std::vector<std::string>{"client.ini"});
}

TEST(ConfSave, ANewFileIsPrivateAndAnOldOneKeepsItsMode) {
    temp_dir dir;
    struct row {
        mode_t before;  // 0: no file yet
        mode_t after;
    };
    const row rows[] = {{0, 0600}, {0644, 0644}, {0666, 0666}, {0640, 0640}, {0600, 0600}, {0400, 0400}, {02664, 02664}};
    mode_t old_umask = umask(0);
    for (const row& r : rows) {
        std::string path = dir.file("m.ini");
        unlink(path.c_str());
        if (r.before) {
            write_file(path, "[s]\nk=v\n");
            chmod(path.c_str(), r.before);
        }
        conf_handle c(conf_create_load(path.c_str()));
        ASSERT_TRUE(c);
        ASSERT_EQ(conf_set_string(c.h, "s", "k", "w"), 0);
        if (r.before == 0400 && geteuid() != 0) {
            // The caller may not write the file: it is not replaced.
            log_capture cap;
            EXPECT_EQ(conf_save(c.h), -1);
            EXPECT_EQ(read_file(path), "[s]\nk=v\n");
            continue;
        }
        ASSERT_EQ(conf_save(c.h), 0);
        EXPECT_EQ(mode_of(path), r.after) << std::oct << r.before;
    }
    umask(old_umask);
}

TEST(ConfSave, ASymbolicLinkStaysALink) {
    temp_dir dir;
    write_file(dir.file("real.ini"), "[s]\nk=v\n");
    ASSERT_EQ(symlink("real.ini", dir.file("link.ini").c_str()), 0);
    conf_handle c(conf_load(dir.file("link.ini").c_str()));
    ASSERT_TRUE(c);
    ASSERT_EQ(conf_set_string(c.h, "s", "k", "changed"), 0);
    ASSERT_EQ(conf_save(c.h), 0);
    struct stat st{};
    ASSERT_EQ(lstat(dir.file("link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(dir.file("real.ini")), std::string(k_bom) + "[s]\nk=changed\n\n");
}

TEST(ConfSave, AMissingDirectoryFailsTheSave) {
    temp_dir dir;
    std::string sub = dir.file("sub");
    mkdir(sub.c_str(), 0700);
    write_file(sub + "/a.ini", "[s]\nk=v\n");
    conf_handle c(conf_load((sub + "/a.ini").c_str()));
    ASSERT_TRUE(c);
    ASSERT_EQ(rename(sub.c_str(), dir.file("moved").c_str()), 0);
    log_capture cap;
    EXPECT_EQ(conf_save(c.h), -1);
    EXPECT_TRUE(cap.contains("[" + sub + "/a.ini] err:")) << cap.all();
    EXPECT_FALSE(cap.contains("XXXXXX")) << "the message names the config file, not a temporary one";
    EXPECT_EQ(read_file(dir.file("moved/a.ini")), "[s]\nk=v\n");
}

TEST(ConfSave, ADirectoryWithoutRoomForATemporaryFileGetsTheFileRewrittenInPlace) {
    temp_dir dir;
    std::string sub = dir.file("ro");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    std::string path = sub + "/a.ini";
    write_file(path, k_old);
    chmod(path.c_str(), 0666);
    struct stat before{};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    chmod(dir.path.c_str(), 0755);
    chmod(sub.c_str(), 0555);
    // Root writes into any directory: the save then runs as another user.
    int status = in_child(
        [](const std::string& p) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 20;
            conf_ctx* c = conf_load(p.c_str());
            if (!c) return 21;
            if (conf_set_string(c, "session/a", "user", "you") != 0) return 22;
            int r = conf_save(c);
            conf_close(c);
            return r == 0 ? 0 : 23;
        },
        path);
    chmod(sub.c_str(), 0755);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(path), std::string(k_bom) + "; sessions\n[session/a]\nuser=you\npwd=secret\n\n");
    struct stat after{};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0666u);
    EXPECT_EQ(dir_entries(sub), std::vector<std::string>{"a.ini"});
}

TEST(ConfSave, AnUnreadableFileIsNeitherLoadedNorTruncated) {
    temp_dir dir;
    chmod(dir.path.c_str(), 0755);
    std::string path = dir.file("client.ini");
    write_file(path, k_old);
    chmod(path.c_str(), 0222);  // writable, not readable
    // Root reads anything: the load then runs as another user.
    int status = in_child(
        [](const std::string& p) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 20;
            FILE* saved = freopen("/dev/null", "w", stderr);
            (void)saved;
            conf_ctx* c = conf_create_load(p.c_str());
            if (c) {
                conf_close(c);
                return 21;
            }
            return 0;
        },
        path);
    EXPECT_EQ(status, 0);
    chmod(path.c_str(), 0600);
    EXPECT_EQ(read_file(path), k_old);
}

}  // namespace

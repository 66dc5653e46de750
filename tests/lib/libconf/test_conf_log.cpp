// The logger's settings from its section of an ini file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "liblog/log2.h"
#include "support/fd_capture.h"
#include "support/proc.h"

namespace {

// A logger configured from the given file text (section "log", or
// "log_<name>"), separate from the process-wide one.
struct configured_logger {
    temp_dir dir;
    log2_ctx* ctx = nullptr;
    std::string err;  // what the configuration wrote to standard error

    configured_logger(const std::string& text, const char* name = nullptr) {
        // The first init takes the process-wide logger; later ones are separate.
        static log2_ctx* process_wide = log2_init(nullptr, nullptr);
        (void)process_wide;
        // "@DIR@" stands for the logger's own directory.
        std::string t = text;
        for (size_t at = t.find("@DIR@"); at != std::string::npos; at = t.find("@DIR@"))
            t.replace(at, 5, dir.path);
        write_file(dir.file("kxdd.ini"), t);
        fd_capture cap;
        ctx = log2_init(dir.file("kxdd.ini").c_str(), name);
        err = cap.text();
    }
    ~configured_logger() { log2_exit(ctx); }
};

TEST(LogConf, KeysOfTheLogSectionApply) {
    configured_logger l("[other]\nlevel=crit\n"
                        "[log]\nlevel=warn\nflags=time_ms|tid_name|no_colour\nfile_dir=@DIR@/logs\n"
                        "file_mode=w\nfile_size=4k\n");
    ASSERT_NE(l.ctx, nullptr);
    EXPECT_EQ(log2_get_level(l.ctx), LOG2_WARN);
    EXPECT_EQ(l.ctx->flags.load(), LOG2_F_TIME_MS | LOG2_F_TID_NAME);
    EXPECT_STREQ(l.ctx->file.dir, l.dir.file("logs").c_str());
    EXPECT_STREQ(l.ctx->file.mode, "w");
    EXPECT_EQ(log_file_get_size(&l.ctx->file), 4096);
    EXPECT_EQ(l.err, "");
}

TEST(LogConf, ANamedLoggerReadsItsOwnSection) {
    configured_logger l("[log]\nlevel=crit\n[log_app]\nlevel=err\n", "app");
    EXPECT_EQ(log2_get_level(l.ctx), LOG2_ERR);
}

TEST(LogConf, EmptyOrMissingSettingsChangeNothing) {
    configured_logger empty("[log]\nlevel=\nflags=\nfile_size=\n");
    EXPECT_EQ(log2_get_level(empty.ctx), LOG2_DBG);
    EXPECT_EQ(empty.ctx->flags.load(), LOG2_F_DEFAULT);
    EXPECT_EQ(log_file_get_size(&empty.ctx->file), 2097152);

    configured_logger bad("[log]\nlevel=warn\nnot a key line\n");  // does not load
    EXPECT_EQ(log2_get_level(bad.ctx), LOG2_DBG);

    configured_logger wrong("[log]\nlevel=bogus\nflags=time|nonsense\n");
    EXPECT_EQ(log2_get_level(wrong.ctx), LOG2_DBG);
    EXPECT_NE(wrong.err.find("error: invalid level [bogus]"), std::string::npos) << wrong.err;
    EXPECT_NE(wrong.err.find("Invalid tags: [nonsense]"), std::string::npos) << wrong.err;
    EXPECT_EQ(wrong.ctx->flags.load(), LOG2_F_COLOR | LOG2_F_TIME);
}

TEST(LogConf, OutputsAreSetUpAndSwitchedOn) {
    configured_logger l("[log]\nsyslog=udp://127.0.0.1:514\nbsvlog=udp://127.0.0.1:9999\n"
                        "file_dir=@DIR@\nfile=kxdd.log\nlevel=info\nflags=func\n");
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(l.ctx->file_out.load(), 1);
    EXPECT_EQ(l.ctx->syslog_out.load(), 1);
    EXPECT_STREQ(log2_get_file_name(l.ctx), l.dir.file("kxdd.log").c_str());
    EXPECT_STREQ(l.ctx->net.url, "udp://127.0.0.1:514");
    EXPECT_STREQ(l.ctx->bsv.url, "udp://127.0.0.1:9999");
    EXPECT_EQ(log2_get_level(l.ctx), LOG2_INFO);
    EXPECT_EQ(l.ctx->flags.load(), LOG2_F_COLOR | LOG2_F_FUNC);
}

TEST(LogConf, ASmallFileSizeIsRefusedWithAWarning) {
    configured_logger l("[log]\nflags=no_colour\nfile_size=1k\n");
    EXPECT_EQ(log_file_get_size(&l.ctx->file), 2097152);
    EXPECT_NE(l.err.find("log2_ioctl log.file_size=1024 (must>=2048 error)"), std::string::npos) << l.err;
}

TEST(LogConf, DebugKeyTurnsOnSelfDiagnostics) {
    // Self-diagnostics only ever turn on: look at them in a child process.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        configured_logger l("[log]\ndebug=1\nlevel=warn\n");
        bool ok = l.err.find("log.debug=1\n") != std::string::npos &&
                  l.err.find("log.level=warn\n") != std::string::npos;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

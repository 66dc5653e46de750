// The running executable, the joined command line and the environment.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "libpal/env/pl_env.h"

namespace {

TEST(PlEnv, ExecutableNameAndDirectory) {
    char real[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", real), nullptr);
    std::string exe = real;
    char buf[4096];
    ASSERT_EQ(os_exe_get_name(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), exe);
    ASSERT_EQ(os_exe_get_dir(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), exe.substr(0, exe.rfind('/')));
    char small[4];
    EXPECT_EQ(os_exe_get_name(small, sizeof small), -1);
    EXPECT_EQ(os_exe_get_name(nullptr, 10), -1);
}

TEST(PlEnv, ArgumentsJoinedIntoOneLine) {
    struct row {
        std::vector<std::string> args;
        size_t size;
        std::string expect;
    };
    const std::string long_arg(5000, 'x');
    const row rows[] = {
        {{"ls", "my dir"}, 4096, "ls \"my dir\" "},
        {{"kxdd", "if=a", "of=b"}, 4096, "kxdd if=a of=b "},
        {{}, 4096, ""},
        {{"kxdd", "if=abc"}, 8, "kxdd "},            // the argument that does not fit is left out whole
        {{"kxdd", long_arg, "of=b"}, 8192, "kxdd "},  // the line never exceeds 4096 bytes
    };
    for (const auto& r : rows) {
        std::vector<char*> argv;
        for (const auto& a : r.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char> buf(r.size, '#');
        EXPECT_EQ(os_argv_to_line(static_cast<int>(r.args.size()), argv.data(), buf.data(), buf.size()), buf.data());
        EXPECT_EQ(std::string(buf.data()), r.expect);
    }
}

TEST(PlEnv, EnvironmentRoundTrip) {
    const char* name = "KXDD_TEST_PL_ENV";
    EXPECT_EQ(os_getenv(name), nullptr);
    EXPECT_EQ(os_setenv(name, "one", 1), 0);
    EXPECT_STREQ(os_getenv(name), "one");
    EXPECT_EQ(os_setenv(name, "two", 0), 0);
    EXPECT_STREQ(os_getenv(name), "one") << "kept without overwrite";
    EXPECT_EQ(os_unsetenv(name), 0);
    EXPECT_EQ(os_getenv(name), nullptr);
    EXPECT_EQ(os_getenv(nullptr), nullptr);
}

}  // namespace

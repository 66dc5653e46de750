// Run-time loading: a real system library, a missing one, and the checks on
// absent arguments.
#include <gtest/gtest.h>

#include <string>

#include "libpal/env/os_dl.h"
#include "support/log_capture.h"

namespace {

TEST(OsDl, LoadsALibraryAndFindsASymbol) {
    log_capture cap;
    void* h = os_dlopen2("libz.so.1");
    ASSERT_NE(h, nullptr) << os_dlerror();
    using version_fn = const char* (*)();
    auto zlib_version = reinterpret_cast<version_fn>(os_dlsym(h, "zlibVersion"));
    ASSERT_NE(zlib_version, nullptr);
    EXPECT_EQ(std::string(zlib_version()).substr(0, 2), "1.");
    EXPECT_NE(os_dlsym(h, "deflate"), nullptr);
    EXPECT_EQ(os_dlsym(h, "no_such_symbol_here"), nullptr);
    os_dlclose(h);
    EXPECT_TRUE(cap.contains("dll=libz.so.1\n"));
    EXPECT_FALSE(cap.contains("assert failed"));
}

TEST(OsDl, MissingLibraryGivesNothingAndTheLoaderText) {
    log_capture cap;
    EXPECT_EQ(os_dlopen2("libkxdd-no-such.so"), nullptr);
    EXPECT_TRUE(cap.contains("dll=libkxdd-no-such.so\n"));
    EXPECT_TRUE(cap.contains("os_dlopen libkxdd-no-such.so error: libkxdd-no-such.so: cannot open shared object file"))
        << cap.all();
    EXPECT_EQ(cap.count(3), 0u) << "a missing library is not an error of ours";
    EXPECT_EQ(os_dlopen("libkxdd-no-such.so"), nullptr);
    const char* e = os_dlerror();
    ASSERT_NE(e, nullptr);
    EXPECT_NE(std::string(e).find("No such file"), std::string::npos);
}

TEST(OsDl, AbsentArgumentsAreAssertions) {
    struct row {
        const char* what;
        void (*call)();
        const char* expr;
    };
    const row rows[] = {
        {"open", [] { EXPECT_EQ(os_dlopen(nullptr), nullptr); }, "expr[name]: assert failed\n"},
        {"symbol", [] { EXPECT_EQ(os_dlsym(nullptr, "x"), nullptr); }, "expr[dynamic && name]: assert failed\n"},
        {"close", [] { os_dlclose(nullptr); }, "expr[dynamic]: assert failed\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        log_capture cap;
        r.call();
        ASSERT_EQ(cap.count(), 1u);
        EXPECT_EQ(cap.lines()[0].text, r.expr);
        EXPECT_EQ(cap.lines()[0].level, 3u);
    }
}

}  // namespace

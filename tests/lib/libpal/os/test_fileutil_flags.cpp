#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

TEST(OsPfFlags, FlagWords) {
    struct row {
        const char* text;
        uint32_t flags;
    };
    const row rows[] = {
        {"rw,direct", 0x44},
        {"readonly-vss", 0x10001},
        {"sync", 0},
        {"rw.readonly", 0x1},      // the last access word replaces the first
        {"readonly,rw", 0x4},
        {"RW,Direct", 0x44},       // words without regard to case
        {"direct,,vss.", 0x10040}, // empty words are skipped
        {"", 0},
        {"rw-sync", 0x4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        std::string text = r.text;
        log_capture cap;
        EXPECT_EQ(os_sflag2pf(text.data()), r.flags);
        EXPECT_EQ(cap.count(), 0u);
    }
    EXPECT_EQ(os_sflag2pf(nullptr), 0u);
}

TEST(OsPfFlags, UnknownWordLogsOnce) {
    log_capture cap;
    char text[] = "rw,bogus";
    EXPECT_EQ(os_sflag2pf(text), 0x4u);
    ASSERT_EQ(cap.count(), 1u);
    auto line = cap.lines()[0];
    EXPECT_EQ(line.level & 0xFF, static_cast<uint32_t>(LOG2_DBG));
    EXPECT_EQ(line.text, "flags=[bogus] not support\n");

    cap.clear();
    char only[] = "bogus";
    EXPECT_EQ(os_sflag2pf(only), 0u);
    EXPECT_EQ(cap.count(), 1u);
}

// The split keeps no process-wide position: a caller's own strtok scan
// survives a call in between.
TEST(OsPfFlags, SplitKeepsNoSharedState) {
    char outer[] = "a b c";
    ASSERT_STREQ(strtok(outer, " "), "a");
    char flags[] = "rw,direct";
    EXPECT_EQ(os_sflag2pf(flags), 0x44u);
    EXPECT_STREQ(strtok(nullptr, " "), "b");
    EXPECT_STREQ(strtok(nullptr, " "), "c");
}

TEST(OsPfFlags, AccessAndDisposition) {
    struct row {
        uint32_t access;
        uint32_t disposition;
        uint32_t flags;
    };
    constexpr uint32_t R = OS_GENERIC_READ, W = OS_GENERIC_WRITE, X = OS_GENERIC_EXECUTE;
    const row rows[] = {
        {R | W, OS_CREATE_ALWAYS, 0x2c},     {R, OS_OPEN_EXISTING, 0x1},      {W, OS_CREATE_NEW, 0xa},
        {X, OS_OPEN_ALWAYS, 0x9},            {X | W, OS_TRUNCATE_EXISTING, 0x24},
        {R | X | W, OS_OPEN_EXISTING, 0x4},  {0, OS_OPEN_EXISTING, 0},        {R, 99, 0x1},
        {0x10000000, OS_CREATE_NEW, 0x8},  // rights outside the three give no access bit
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.access << " " << r.disposition);
        EXPECT_EQ(os_access_to_pf(r.access, r.disposition), r.flags);
    }
}

TEST(OsPfFlags, OflagToSys) {
    struct row {
        uint32_t oflag;
        int sys;
    };
    const row rows[] = {
        {0, O_RDONLY},
        {1, O_WRONLY},
        {2, O_RDWR},
        {3, O_RDONLY},
        {2 | OS_OF_CREATE | OS_OF_TRUNC | OS_OF_EXCL, O_RDWR | O_CREAT | O_TRUNC | O_EXCL},
        {1 | OS_OF_APPEND | OS_OF_SYNC, O_WRONLY | O_APPEND | O_SYNC},
        {OS_OF_NOFOLLOW | OS_OF_NONBLOCK | OS_OF_DIRECTORY | OS_OF_CLOEXEC,
         O_NOFOLLOW | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC},
        {OS_OF_DIRECT, O_RDONLY},  // no system counterpart
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.oflag);
        EXPECT_EQ(os_oflag_to_sys(r.oflag), r.sys);
    }
}

// Every access mode with every combination of the flags that have a system
// counterpart comes back unchanged.
TEST(OsPfFlags, OflagRoundTrip) {
    const uint32_t bits[] = {OS_OF_CREATE, OS_OF_APPEND,    OS_OF_TRUNC,    OS_OF_EXCL,   OS_OF_NOFOLLOW,
                             OS_OF_NONBLOCK, OS_OF_SYNC, OS_OF_DIRECTORY, OS_OF_CLOEXEC};
    constexpr size_t n = sizeof bits / sizeof bits[0];
    for (uint32_t access = 0; access < 3; ++access) {
        for (uint32_t mask = 0; mask < (1u << n); ++mask) {
            uint32_t oflag = access;
            for (size_t i = 0; i < n; ++i)
                if (mask & (1u << i)) oflag |= bits[i];
            ASSERT_EQ(os_oflag_from_sys(os_oflag_to_sys(oflag)), oflag) << std::hex << oflag;
        }
    }
    // O_DSYNC alone is not O_SYNC.
    EXPECT_EQ(os_oflag_from_sys(O_WRONLY | O_DSYNC), 1u);
}

TEST(OsPfFlags, OflagToPf) {
    struct row {
        uint32_t oflag;
        uint32_t pf;
    };
    const row rows[] = {
        {0, 0x1},
        {1, 0x2},
        {2, 0x4},
        {3, 0},
        {2 | OS_OF_CREATE | OS_OF_TRUNC | OS_OF_DIRECT, 0x6c},
        {1 | OS_OF_APPEND, 0x12},
        {OS_OF_EXCL | OS_OF_SYNC | OS_OF_CLOEXEC, 0x1},  // no flag word counterpart
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.oflag);
        EXPECT_EQ(os_oflag_to_pf(r.oflag), r.pf);
    }
}

}  // namespace

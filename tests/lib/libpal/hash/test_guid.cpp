#include "libpal/hash/guid.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "support/log_capture.h"

namespace {

TEST(Guid, TextForm) {
    uint8_t id[16];
    for (int i = 0; i < 16; i++) id[i] = static_cast<uint8_t>(i);
    char text[PL_GUID_MAX_STR];
    EXPECT_EQ(guid_fmt_str(id, text, sizeof text), text);
    EXPECT_STREQ(text, "{03020100-0504-0706-0908-0B0A0D0C0F0E}");
    EXPECT_EQ(strlen(text), 38u);
}

TEST(Guid, ShortTextBufferIsCutAndReported) {
    uint8_t id[16] = {0xFF};
    char text[12];
    std::memset(text, 'z', sizeof text);
    log_capture cap;
    guid_fmt_str(id, text, sizeof text);
    EXPECT_TRUE(cap.contains("expr[len>=PL_GUID_MAX_STR]: assert failed")) << cap.all();
    EXPECT_STREQ(text, "{000000FF-0");
}

// Identifiers come from the system's random source: many made in the same
// second all differ, and making them leaves rand() alone.
TEST(Guid, IdentifiersMadeTogetherDiffer) {
    srand(4242);
    int expect = rand();
    srand(4242);
    std::set<std::string> seen;
    for (int i = 0; i < 200; i++) {
        uint8_t id[16];
        ASSERT_EQ(guid_get_buf(id, sizeof id), 0);
        seen.insert(std::string(reinterpret_cast<char*>(id), 16));
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(rand(), expect) << "the identifiers re-seeded or drew from rand()";
}

TEST(Guid, WrongLengthIsRefused) {
    uint8_t buf[32];
    std::memset(buf, 0x5C, sizeof buf);
    log_capture cap;
    EXPECT_EQ(guid_get_buf(buf, 8), -1);
    EXPECT_EQ(guid_get_buf(buf, 32), -1);
    EXPECT_TRUE(cap.contains("expr[len==16]: assert failed")) << cap.all();
    for (uint8_t b : buf) ASSERT_EQ(b, 0x5C);
}

}  // namespace

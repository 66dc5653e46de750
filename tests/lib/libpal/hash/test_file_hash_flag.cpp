#include <gtest/gtest.h>

#include "libpal/hash/file_hash.h"

namespace {

TEST(FileHashFlag, ParseWordLists) {
    struct row {
        const char* text;
        int32_t flag;
    };
    const row rows[] = {
        {"md5", 0x1},
        {"md5,bogus", 0x1},
        {"bogus", -1},
        {"", -1},
        {",,", -1},
        {"pmd5,psha256", 0x24},
        {"MD5", -1},  // words are exact
        {"md5,sha1,pmd5,psha1,sha256,psha256,sha512,psha512,sm3,psm3,xxh3,pxxh3", 0xFFF},
        {"xxh3,xxh3", 0x400},
    };
    for (const auto& r : rows) EXPECT_EQ(file_hash_flag_parse(r.text), r.flag) << r.text;
    EXPECT_EQ(file_hash_flag_parse(nullptr), -1);
}

TEST(FileHashFlag, WordsInTheFixedOrder) {
    EXPECT_STREQ(file_hash_flag_str(0), "");
    EXPECT_STREQ(file_hash_flag_str(0x21), "md5|psha256");
    EXPECT_STREQ(file_hash_flag_str(0xFFF),
                 "md5|sha1|sha256|sha512|sm3|xxh3|pmd5|psha1|psha256|psha512|psm3|pxxh3");
}

}  // namespace

// The built kxdd with compressed images: in and out, image to image with
// packed blocks passed through, and a resumed copy.
#include <random>

#include "kxz_test_util.h"
#include "libkxz/kxz_format.h"

namespace {

using namespace kxz_test;

std::string mixed(size_t n) {
    std::string s = marked_data(n);
    std::mt19937 gen(8);
    // Every third 64 KiB is noise, so some records are longer than their block.
    for (size_t at = 0; at < n; at += 3 * 65536)
        for (size_t i = at; i < std::min(n, at + 65536); ++i) s[i] = static_cast<char>(gen());
    return s;
}

class KxzKxdd : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir.file(name); }
    void kxdd(const std::vector<std::string>& args) {
        proc_result r = run_kxdd(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    temp_dir dir;
};

TEST_F(KxzKxdd, CopyInAndOutGivesBackEveryByte) {
    std::string data = mixed(5 * 1024 * 1024 + 123);
    write_file(path("data"), data);
    for (const char* bs : {"bs=1M", "bs=64k"}) {
        SCOPED_TRACE(bs);
        ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("data"), "of=" + path("x.kxz"), bs}));
        EXPECT_FALSE(file_exists(path("x.kxz_off")));
        ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("x.kxz"), "of=" + path("back"), "bs=100k"}));
        EXPECT_TRUE(same_bytes(read_file(path("back")), data));
        if (!oracle_available()) continue;
        std::string unpacked;
        oracle_result o = oracle_read(path("x.kxz"), &unpacked);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(same_bytes(unpacked, data));
        EXPECT_EQ(o.num("block_len"), std::string(bs) == "bs=1M" ? 1 << 20 : 64 << 10);
    }
}

TEST_F(KxzKxdd, ImageToImagePassesPackedBlocksThrough) {
    KXZ_NEED_ORACLE();
    // The independent writer packs harder than the tool does, so records
    // that arrive unchanged are told apart from records packed again.
    std::string data = mixed(3 * 1024 * 1024 + 5000);
    ASSERT_EQ(oracle_write(data, path("in.kxz"), 256 * 1024, PACK_LZ4, 0, 0x8000000, false), 0);
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("in.kxz"), "of=" + path("pass.kxz"), "bs=256k"}));
    ASSERT_NO_FATAL_FAILURE(
        kxdd({"if=" + path("in.kxz"), "of=" + path("repack.kxz"), "disable_pack_transport=1", "bs=256k"}));
    std::string in = read_file(path("in.kxz"));
    std::string pass = read_file(path("pass.kxz"));
    std::string repack = read_file(path("repack.kxz"));
    EXPECT_TRUE(in.substr(KXZ_HEADER_SIZE) == pass.substr(KXZ_HEADER_SIZE)) << "records passed unchanged";
    EXPECT_FALSE(in.substr(KXZ_HEADER_SIZE) == repack.substr(KXZ_HEADER_SIZE)) << "records packed again";
    for (const char* name : {"pass.kxz", "repack.kxz"}) {
        std::string unpacked;
        oracle_result o = oracle_read(path(name), &unpacked);
        ASSERT_EQ(o.status, 0) << name << ": " << o.err;
        EXPECT_TRUE(same_bytes(unpacked, data)) << name;
        EXPECT_EQ(o.num("block_len"), 256 * 1024) << name;
    }
}

TEST_F(KxzKxdd, ResumedCopyContinuesTheImage) {
    std::string data = mixed(4 * 1024 * 1024);
    write_file(path("data"), data);
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("data"), "of=" + path("r.kxz"), "bs=512k", "count=3"}));
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("data"), "of=" + path("r.kxz"), "bs=512k", "conv=resume"}));
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("r.kxz"), "of=" + path("back")}));
    EXPECT_TRUE(same_bytes(read_file(path("back")), data));
    EXPECT_FALSE(file_exists(path("r.kxz_off")));
}

}  // namespace

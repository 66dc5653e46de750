// Resuming an image after a crash: the header's length is stale, the last
// record may be torn, the side file may index records that never arrived.
#include "kxz_test_util.h"
#include "libkxz/kxz_format.h"
#include "support/log_capture.h"

namespace {

using namespace kxz_test;

constexpr uint64_t BL = 4096;

uint64_t header_file_len(const std::string& img) {
    std::string b = read_file(img);
    uint64_t v = 0;
    memcpy(&v, b.data() + KXZ_H_FILE_LEN, 8);
    return v;
}

// What a killed writer leaves: the image and its side file as they are
// while the image is still open.
class KxzCrash : public KxzFixture {
protected:
    void SetUp() override {
        KxzFixture::SetUp();
        data = marked_data(64 * BL, true, 5);
        crashed = path("crashed.kxz");
    }
    // Writes `blocks` blocks to a new image (or appends them to `base`, an
    // image of the independent writer with a stride of 4 blocks) and
    // copies the files before the writer closes.
    void crash_after(uint64_t blocks, bool indexed) {
        std::string img = path("live.kxz");
        uint64_t start = 0;
        if (indexed) {
            start = 8;
            ASSERT_EQ(oracle_write(data.substr(0, start * BL), img, BL, PACK_LZ4, 0, 4 * BL, true), 0);
        }
        dev_ptr d(open(img, indexed ? k_open_append : k_open_write));
        ASSERT_TRUE(d) << verr_msg(&err);
        if (!indexed) {
            ASSERT_EQ(set_params(d.get(), PACK_LZ4, BL), 0);
        }
        ASSERT_EQ(bd_seek(d.get(), static_cast<int64_t>(start * BL)), 0);
        ASSERT_TRUE(append_blocks(d.get(), data.substr(start * BL, (blocks - start) * BL), BL));
        write_file(crashed, read_file(img));
        write_file(crashed + "_off", read_file(img + "_off"));
    }
    // Resumes the crashed image where its records end and completes it.
    void resume_and_check(uint64_t expect_len) {
        {
            dev_ptr d(open(crashed, k_open_append));
            ASSERT_TRUE(d) << verr_msg(&err);
            int64_t size = bd_size(d.get());
            ASSERT_EQ(size, static_cast<int64_t>(expect_len));
            ASSERT_EQ(bd_seek(d.get(), size), 0);
            ASSERT_TRUE(append_blocks(d.get(), data.substr(static_cast<size_t>(size)), BL));
            ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0) << bd_errmsg(d.get());
        }
        EXPECT_TRUE(same_bytes(read_image(crashed), data));
        if (!oracle_available()) return;
        std::string unpacked;
        oracle_result o = oracle_read(crashed, &unpacked);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(same_bytes(unpacked, data));
        EXPECT_EQ(o.list("trailer"), o.list("step_entries"));
    }
    std::string data;
    std::string crashed;
};

TEST_F(KxzCrash, ResumeCountsEveryCompleteRecord) {
    for (bool indexed : {false, true}) {
        SCOPED_TRACE(indexed ? "indexed" : "new image");
        if (indexed && !oracle_available()) continue;
        crash_after(30, indexed);
        // A new image's header still says 0; an appended one what it had.
        EXPECT_EQ(header_file_len(crashed), indexed ? 8 * BL : 0u);
        {
            log_capture cap;
            dev_ptr d(open(crashed, k_open_append));
            ASSERT_TRUE(d) << verr_msg(&err);
            EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(30 * BL));
            EXPECT_TRUE(cap.contains("recovered: file_len=")) << cap.all();
        }
        EXPECT_EQ(header_file_len(crashed), 30 * BL) << "the header counts the records again";
        resume_and_check(30 * BL);
    }
    // Without the oracle the appended image and the oracle's reading were left out.
    KXZ_NEED_ORACLE();
}

TEST_F(KxzCrash, TornOrStrayTailIsCutBeforeResuming) {
    struct row {
        const char* what;
        size_t cut;            // bytes cut off the end
        std::string added;     // then bytes added
        uint64_t blocks_kept;  // of the 29 written
    };
    const row rows[] = {
        {"last record torn", 5, "", 28},
        {"a lone length word", 0, std::string("\x10\0\0\0", 4), 29},
        {"zeros behind the records", 0, std::string(3000, '\0'), 29},
        {"garbage behind the records", 0, std::string(77, 'x'), 29},
        {"a trailer behind the records", 0, std::string("\x08\0\0\x80" "12345678" "\x08\0\0\x80", 16), 29},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        // 29 blocks: the torn record is the one at block 28, an indexed stride.
        crash_after(29, oracle_available());
        std::string bytes = read_file(crashed);
        bytes.resize(bytes.size() - r.cut);
        bytes += r.added;
        write_file(crashed, bytes);
        resume_and_check(r.blocks_kept * BL);
    }
    // Without the oracle the images were not indexed and not read by it.
    KXZ_NEED_ORACLE();
}

TEST_F(KxzCrash, SideFileEntriesOfLostRecordsAreDropped) {
    KXZ_NEED_ORACLE();
    crash_after(41, true);
    // The records from block 33 on never reached the disk; the side file
    // indexes blocks 36 and 40 all the same.
    std::string bytes = read_file(crashed);
    uint64_t foff = 64;
    for (int i = 0; i < 33; ++i) {
        uint32_t z;
        memcpy(&z, bytes.data() + foff, 4);
        foff += kxz_record_size(z);
    }
    bytes.resize(foff);
    write_file(crashed, bytes);
    EXPECT_EQ(file_size(crashed + "_off"), 16u + 8 * 10);
    resume_and_check(33 * BL);
}

TEST_F(KxzFixture, AnUncountedShortLastBlockMakesTheImageFinal) {
    KXZ_NEED_ORACLE();
    std::string data = marked_data(5 * BL + 300, true);
    std::string img = path("short.kxz");
    ASSERT_EQ(oracle_write(data, img, BL, PACK_LZ4, 0, 0x8000000, false), 0);
    std::string bytes = read_file(img);
    memset(&bytes[KXZ_H_FILE_LEN], 0, 8);  // the header update never happened
    write_file(img, bytes);
    {
        dev_ptr d(open(img, k_open_append));
        ASSERT_TRUE(d) << verr_msg(&err);
        EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(data.size()));
        bd_dev_info info{};
        ASSERT_EQ(bd_info(d.get(), &info), 0);
        EXPECT_EQ(info.type, 5u);
        EXPECT_EQ(bd_write(d.get(), data.data(), 10), -1);
        EXPECT_EQ(bd_errno(d.get()), VERR_WRITE_PROTECT);
    }
    EXPECT_EQ(header_file_len(img), data.size());
    EXPECT_TRUE(same_bytes(read_image(img), data));
}

TEST_F(KxzFixture, RecordsEndingBeforeTheHeadersLengthAreNotAppendedTo) {
    std::string data = marked_data(10 * BL);
    std::string img = path("lost.kxz");
    make_image(img, data, PACK_LZ4, BL);
    std::string bytes = read_file(img);
    uint64_t foff = 64;
    for (int i = 0; i < 6; ++i) {
        uint32_t z;
        memcpy(&z, bytes.data() + foff, 4);
        foff += kxz_record_size(z);
    }
    bytes.resize(foff);  // the header still says 10 blocks
    write_file(img, bytes);
    log_capture cap;
    EXPECT_FALSE(dev_ptr(open(img, k_open_append)));
    EXPECT_EQ(err.code, VERR_INVALID_FILE_HEAD);
    EXPECT_NE(std::string(verr_msg(&err)).find("the image is damaged"), std::string::npos) << verr_msg(&err);
    EXPECT_EQ(read_file(img).size(), foff) << "a refused open changes nothing";
    // Reading gives what is there, and then the end.
    dev_ptr d(open(img, k_open_read));
    ASSERT_TRUE(d) << verr_msg(&err);
    EXPECT_TRUE(same_bytes(read_all(d.get(), static_cast<int64_t>(BL)), data.substr(0, 6 * BL)));
}

// A writable open refused for damaged records leaves a side file as it was:
// not made, not given its head when empty, not cut, whether it was to be
// reused (the append flag) or made afresh.
TEST_F(KxzFixture, ARefusedWritableOpenLeavesTheSideFileAsItWas) {
    std::string data = marked_data(4 * BL);
    std::string img = path("damaged.kxz");
    make_image(img, data, PACK_LZ4, BL);
    std::string bytes = read_file(img);
    uint32_t z;
    memcpy(&z, bytes.data() + 64, 4);
    bytes.resize(64 + kxz_record_size(z));  // the header still says 4 blocks
    std::string guid = bytes.substr(KXZ_H_GUID, KXZ_GUID_SIZE);
    struct side_case {
        const char* what;
        bool exists;
        std::string bytes;
    };
    const side_case sides[] = {
        {"no side file", false, ""},
        {"an empty side file", true, ""},
        {"a side file with an entry", true, guid + std::string("\x40\x10\0\0\0\0\0\0", 8)},
        {"a side file of another image", true, std::string(16, 'x')},
    };
    for (uint32_t flags : {uint32_t{OS_PF_RDWR}, uint32_t{OS_PF_RDWR | OS_PF_APPEND}}) {
        for (const side_case& c : sides) {
            SCOPED_TRACE(std::string(c.what) + ((flags & OS_PF_APPEND) ? ", reused" : ", made afresh"));
            write_file(img, bytes);
            unlink((img + "_off").c_str());
            if (c.exists) write_file(img + "_off", c.bytes);
            verr_info ve{};
            log_capture quiet(2);
            kxz_image* k = kxz_open(img.c_str(), flags, &ve);
            EXPECT_EQ(k, nullptr);
            kxz_close(k);
            EXPECT_EQ(ve.code, VERR_INVALID_FILE_HEAD);
            EXPECT_TRUE(read_file(img) == bytes);
            ASSERT_EQ(file_exists(img + "_off"), c.exists);
            if (c.exists) {
                EXPECT_TRUE(read_file(img + "_off") == c.bytes);
            }
        }
    }
}

}  // namespace

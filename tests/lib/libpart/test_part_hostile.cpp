// Tables crafted byte by byte: the boundaries of every scheme, and damaged
// or hostile tables that must end quickly with a bounded list.
#include <algorithm>
#include <string>

#include "part_test_util.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace part_test {
namespace {

using PartCrafted = PartTest;

TEST_F(PartCrafted, BlankDeviceIsOneVolume) {
    std::string img = dir.file("blank.img");
    write_file(img, sector_data(100));
    listing l = list_of(img);
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.scheme, "volume");
    EXPECT_EQ(l.code, 0u);
    EXPECT_EQ(l.image_size, 100 * k_sector);
    EXPECT_EQ(l.vols, (std::vector<vol_row>{{0, 100, "disk or volume"}}));
}

TEST_F(PartCrafted, OpenAndSizeFailures) {
    listing missing = list_of(dir.file("missing.img"));
    EXPECT_EQ(missing.rc, -1);
    EXPECT_EQ(missing.err, "No such file or directory");
    std::string tiny = dir.file("tiny.img");
    write_file(tiny, std::string(511, '\0'));
    log_capture cap(8);
    listing l = list_of(tiny);
    EXPECT_EQ(l.rc, -1);
    EXPECT_EQ(l.err, "invalid image file size");
    EXPECT_TRUE(cap.contains("size=511 sector_bytes=512\n")) << cap.all();
}

TEST_F(PartCrafted, ReadFailureIsMinusTwoWithTheDeviceText) {
    // A directory opens but every read of it fails.
    listing l = list_of(dir.path);
    if (l.rc == -1) GTEST_SKIP() << "a directory does not open here: " << l.err;
    EXPECT_EQ(l.rc, -2);
    EXPECT_EQ(l.err, "Is a directory");
}

TEST_F(PartCrafted, MbrBootFlagDecidesWhetherItIsATable) {
    struct row {
        uint8_t boot;
        const char* scheme;
    };
    for (row r : {row{0x00, "MBR"}, row{0x80, "MBR"}, row{0x01, "volume"}, row{0x7F, "volume"}}) {
        SCOPED_TRACE(static_cast<int>(r.boot));
        std::string d = sector_data(64);
        mbr_entry(d, 0, 0, 0x07, 8, 16, r.boot);
        write_file(dir.file("b.img"), d);
        listing l = list_of(dir.file("b.img"));
        ASSERT_EQ(l.rc, 0);
        EXPECT_EQ(l.scheme, r.scheme);
        if (l.scheme == "MBR") {
            EXPECT_EQ(l.vols, (std::vector<vol_row>{{8, 16, "HPFS, NTFS"}}));
        }
    }
}

TEST_F(PartCrafted, ExtendedLoopsEndWithTheVolumesFound) {
    struct row {
        const char* label;
        uint32_t second_link;  // the link of the table at sector 24, relative to 16
    };
    // MBR: a primary at 8 and an extended partition at 16. The table at 16
    // holds a logical volume at 18 and links to 24; the table at 24 holds a
    // logical volume at 26 and links back.
    const row rows[] = {
        {"self", 8},   // 24 -> 24
        {"cycle", 0},  // 24 -> 16 -> 24 ...
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        std::string d = sector_data(64);
        mbr_entry(d, 0, 0, 0x83, 8, 4);
        mbr_entry(d, 0, 1, 0x05, 16, 40);
        mbr_entry(d, 16, 0, 0x83, 2, 4);
        mbr_entry(d, 16, 1, 0x05, 8, 10);
        mbr_entry(d, 24, 0, 0x82, 2, 4);
        mbr_entry(d, 24, 1, 0x05, r.second_link, 10);
        write_file(dir.file("e.img"), d);
        log_capture cap(8);
        listing l = list_of(dir.file("e.img"));
        ASSERT_EQ(l.rc, 0);
        EXPECT_EQ(l.vols, (std::vector<vol_row>{{8, 4, "Linux (EXT2fs/xiafs)"},
                                                {18, 4, "Linux (EXT2fs/xiafs)"},
                                                {26, 4, "Linux Swap partition"}}));
        bool found = false;
        for (const auto& line : cap.lines())
            found |= line.tag == "part" && line.level == LOG2_WARN && line.text == "enter circular read exit\n";
        EXPECT_TRUE(found) << cap.all();
    }
}

TEST_F(PartCrafted, LongExtendedChainStopsAt128Tables) {
    // 200 tables, each with one logical volume and a link to the next.
    std::string d = sector_data(16 + 2 * 200 + 2);
    mbr_entry(d, 0, 0, 0x05, 16, 2 * 200);
    for (uint32_t k = 0; k < 200; ++k) {
        mbr_entry(d, 16 + 2 * k, 0, 0x83, 1, 1);
        mbr_entry(d, 16 + 2 * k, 1, 0x05, 2 * (k + 1), 2);
    }
    write_file(dir.file("chain.img"), d);
    log_capture cap(8);
    listing l = list_of(dir.file("chain.img"));
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.vols.size(), 127u);  // the MBR and 127 extended tables
    EXPECT_EQ(l.vols.back().start, 16u + 2 * 126 + 1);
    EXPECT_TRUE(cap.contains("too much nesting exit\n"));
}

TEST_F(PartCrafted, ExtendedTableBehindTheEndKeepsWhatWasFound) {
    std::string d = sector_data(64);
    mbr_entry(d, 0, 0, 0x07, 8, 8);
    mbr_entry(d, 0, 1, 0x0F, 1000, 10);
    write_file(dir.file("e.img"), d);
    log_capture cap(8);
    listing l = list_of(dir.file("e.img"));
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.vols, (std::vector<vol_row>{{8, 8, "HPFS, NTFS"}}));
    EXPECT_TRUE(cap.contains("read len 0!=512 error\n")) << cap.all();
}

TEST_F(PartCrafted, AmigaPartitionListLoopsEnd) {
    struct row {
        const char* label;
        uint32_t next_of_4;
    };
    // RDSK at sector 1; PART blocks at 3 (cylinders 2-3) and 4 (cylinders 4-7), 2 heads x 8 sectors.
    for (row r : {row{"self", 4}, row{"cycle", 3}, row{"end", 0xFFFFFFFF}}) {
        SCOPED_TRACE(r.label);
        std::string d = sector_data(256);
        amiga_rdsk(d, 1, 3);
        amiga_part(d, 3, 4, 2, 8, 2, 3);
        amiga_part(d, 4, r.next_of_4, 2, 8, 4, 7);
        write_file(dir.file("a.img"), d);
        listing l = list_of(dir.file("a.img"));
        ASSERT_EQ(l.rc, 0);
        EXPECT_EQ(l.scheme, "AMIGA");
        EXPECT_EQ(l.vols, (std::vector<vol_row>{{32, 32, ""}, {64, 64, ""}}));
    }
}

TEST_F(PartCrafted, AmigaDamagedBlocks) {
    // A bad checksum ends the walk with what was found; reversed cylinders make an empty volume.
    std::string d = sector_data(256);
    amiga_rdsk(d, 2, 3);
    amiga_part(d, 3, 4, 2, 8, 9, 5);
    amiga_part(d, 4, 0xFFFFFFFF, 2, 8, 10, 11);
    d[4 * k_sector + 200] ^= 1;
    write_file(dir.file("a.img"), d);
    listing l = list_of(dir.file("a.img"));
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.vols, (std::vector<vol_row>{{144, 0, ""}}));
    // An RDSK with a bad checksum is no RDSK.
    d = sector_data(256);
    amiga_rdsk(d, 0, 3);
    amiga_part(d, 3, 0xFFFFFFFF, 2, 8, 2, 3);
    d[100] ^= 1;
    write_file(dir.file("a.img"), d);
    EXPECT_EQ(list_of(dir.file("a.img")).scheme, "volume");
}

TEST_F(PartCrafted, GptHeaderScaleAndDamagedEntries) {
    // The header at LBA 8 of a 512-byte-sector device: every LBA counts 8 sectors.
    std::string d = sector_data(512);
    mbr_entry(d, 0, 0, 0xEE, 1, 511);
    gpt_header(d, 8, 2, 4, 128);
    size_t array = 2 * 8 * k_sector;
    gpt_entry(d, array, 128, 0, 4, 5, "one");
    memset(&d[array + 128], 0, 128);                // an unused entry
    gpt_entry(d, array, 128, 2, 9, 6, "reversed");  // last before first: empty, not wrapped
    gpt_entry(d, array, 128, 3, uint64_t{1} << 62, (uint64_t{1} << 62) + 1, "huge");
    write_file(dir.file("g.img"), d);
    listing l = list_of(dir.file("g.img"));
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.scheme, "GPT");
    EXPECT_EQ(l.vols, (std::vector<vol_row>{{32, 16, "one"}, {72, 0, "reversed"}}));
}

TEST_F(PartCrafted, GptEntrySizeAndCountAreChecked) {
    struct row {
        const char* label;
        uint32_t count;
        uint32_t esize;
        size_t volumes;
    };
    const row rows[] = {
        {"size 0", 4, 0, 0},
        {"size 8", 4, 8, 0},
        {"size not a multiple of 8", 4, 130, 0},
        {"size over a sector", 4, 1024, 4},  // entries span sectors
        {"count of 2^32-1", 0xFFFFFFFF, 128, 4},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        std::string d = sector_data(64);
        mbr_entry(d, 0, 0, 0xEE, 1, 63);
        gpt_header(d, 1, 2, r.count, r.esize);
        memset(&d[2 * k_sector], 0, 62 * k_sector);
        if (r.esize >= 128)
            for (uint32_t i = 0; i < 4; ++i) gpt_entry(d, 2 * k_sector, r.esize, i, 40 + i, 40 + i);
        write_file(dir.file("g.img"), d);
        listing l = list_of(dir.file("g.img"));
        ASSERT_EQ(l.rc, 0) << l.err;
        if (r.volumes == 0) {
            EXPECT_EQ(l.vols, (std::vector<vol_row>{{0, 64, "disk or volume"}}));
        } else {
            ASSERT_EQ(l.vols.size(), r.volumes);
            EXPECT_EQ(l.vols[3], (vol_row{43, 1, ""}));
        }
    }
}

TEST_F(PartCrafted, GptEntryCountIsCapped) {
    // Every entry of a 4 MiB array is in use: only the first 16384 are read.
    const uint32_t sectors = 2 + 8192 + 8;
    std::string d(sectors * k_sector, '\0');
    mbr_entry(d, 0, 0, 0xEE, 1, sectors - 1);
    gpt_header(d, 1, 2, 0xFFFFFFFF, 128);
    for (uint32_t i = 0; i < 8192 * 4; ++i) gpt_entry(d, 2 * k_sector, 128, i, 100 + i, 100 + i);
    write_file(dir.file("g.img"), d);
    log_capture cap(8);
    listing l = list_of(dir.file("g.img"));
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.vols.size(), 16384u);
    EXPECT_TRUE(cap.contains("only 16384 read")) << cap.all();
}

TEST_F(PartCrafted, ProtectiveMbrOnASmallDeviceWithoutGpt) {
    // The header probes reach past the end of the device: not found, not an error.
    std::string d = sector_data(20);
    mbr_entry(d, 0, 0, 0xEE, 1, 19);
    write_file(dir.file("p.img"), d);
    listing l = list_of(dir.file("p.img"));
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.vols, (std::vector<vol_row>{{0, 20, "disk or volume"}}));
}

TEST_F(PartCrafted, AppleNamesAreBoundedAndTheMapEndsAtTheDevice) {
    std::string d = sector_data(64);
    put_be16(d, 0, 0x4552);
    put_be16(d, 2, 512);
    for (int i = 0; i < 2; ++i) {
        size_t e = (1 + i) * k_sector;
        memset(&d[e], 0, k_sector);
        put_be16(d, e, 0x504D);
        put_be32(d, e + 4, 0xFFFFFFFF);  // the count of entries: more than the device holds
        put_be32(d, e + 8, 10 + 10 * i);
        put_be32(d, e + 12, 5);
        memset(&d[e + 16], 'N', 32);  // a name without its NUL
        memcpy(&d[e + 48], "Apple_HFS", 9);
    }
    write_file(dir.file("m.img"), d);
    listing l = list_of(dir.file("m.img"));
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.scheme, "APPLE");
    EXPECT_EQ(l.vols, (std::vector<vol_row>{{10, 5, std::string(32, 'N')}, {20, 5, std::string(32, 'N')}}));
}

TEST_F(PartCrafted, DvhNeedsItsChecksum) {
    std::string d = sector_data(64);
    memset(d.data(), 0, k_sector);
    put_be32(d, 0, 0x0BE5A941);
    put_be32(d, 312, 8);  // entry 0: 8 blocks at 16
    put_be32(d, 316, 16);
    put_be32(d, 312 + 12 * 10, 64);  // entry 10: the whole volume
    uint32_t sum = 0;
    for (size_t i = 0; i < k_sector; i += 4) sum += get_be32(d, i);
    put_be32(d, 8, 0u - sum);
    write_file(dir.file("s.img"), d);
    listing l = list_of(dir.file("s.img"));
    EXPECT_EQ(l.scheme, "DVH");
    EXPECT_EQ(l.vols, (std::vector<vol_row>{{16, 8, ""}}));
    d[400] ^= 1;
    write_file(dir.file("s.img"), d);
    EXPECT_EQ(list_of(dir.file("s.img")).scheme, "volume");
}

TEST(PartNames, SchemeAndTypeNames) {
    const char* schemes[] = {"volume", "MBR", "GPT", "APPLE", "AMIGA", "DVH", "UNKOWN", "UNKOWN"};
    for (uint32_t c = 0; c < 8; ++c) EXPECT_STREQ(part_scheme_name(c), schemes[c]);
    EXPECT_STREQ(part_scheme_name(0xFFFFFFFF), "UNKOWN");
    struct row {
        uint8_t type;
        const char* text;
    };
    for (row r : {row{0x00, "unknown type or empty"}, row{0x07, "HPFS, NTFS"}, row{0x08, "AIX bootable partition"},
                  row{0x0D, "unknown type or empty"}, row{0x83, "Linux (EXT2fs/xiafs)"}, row{0xFE, "LANstep"},
                  row{0xFF, "Xenix bad-block table"}})
        EXPECT_STREQ(part_type_name(r.type), r.text) << static_cast<int>(r.type);
}

TEST_F(PartCrafted, VolumeWindowInBytes) {
    std::string d = sector_data(64);
    mbr_entry(d, 0, 0, 0x83, 8, 16);
    mbr_entry(d, 0, 1, 0xEE - 1, 30, 4);
    write_file(dir.file("w.img"), d);
    char err[VERR_MSG_SIZE] = "";
    bd_vol vol{};
    ASSERT_EQ(libpart_get_vol(dir.file("w.img").c_str(), 2, &vol, err), 0) << err;
    EXPECT_EQ(vol.vol_start, 30 * k_sector);
    EXPECT_EQ(vol.vol_size, 4 * k_sector);
    for (int idx : {0, 3, -1}) {
        EXPECT_EQ(libpart_get_vol(dir.file("w.img").c_str(), idx, &vol, err), -1);
        EXPECT_EQ(std::string(err), "vol_idx=" + std::to_string(idx) + " valid values: 1-2");
    }
    // A window past 2^64 bytes is refused, never wrapped to the start of the device.
    std::string g = sector_data(64);
    mbr_entry(g, 0, 0, 0xEE, 1, 63);
    gpt_header(g, 1, 2, 1, 128);
    memset(&g[2 * k_sector], 0, 128);
    gpt_entry(g, 2 * k_sector, 128, 0, uint64_t{1} << 60, (uint64_t{1} << 60) + 1);
    write_file(dir.file("g.img"), g);
    EXPECT_EQ(libpart_get_vol(dir.file("g.img").c_str(), 1, &vol, err), -1);
    EXPECT_STREQ(err, "vol_idx=1 start=1152921504606846976 size=2 sectors out of range");
}

}  // namespace
}  // namespace part_test

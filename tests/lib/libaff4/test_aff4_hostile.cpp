// Broken and hostile images: each case damages one thing of a good image and
// must give an open or a read error with the errno the header documents,
// never a crash, a huge allocation or bytes from elsewhere.
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aff4_builder.h"
#include "aff4_test_util.h"
#include "libaff4/aff4.h"

using namespace aff4_test;

namespace {

enum class stage { open, read };

struct hostile_case {
    const char* name;
    std::function<void(image_recipe&)> damage;          // on the parts, before the zip is written
    std::function<void(std::string&)> damage_file;    // on the file's bytes
    stage when;
    int err;
    const char* says;  // a piece of the message
};

image_recipe base() {
    image_recipe s;
    // Text: every chunk compresses, so damage to a chunk shows in its decoding.
    for (int i = 0; s.data.size() < 4096 * 9 + 700; ++i) s.data += "block " + std::to_string(i) + " of the image; ";
    s.data.resize(4096 * 9 + 700);
    s.map_size = 1u << 20;
    s.idx = {k_stream, std::string(k_ns) + "Zero"};
    s.rows = {{0, s.data.size(), 0, 0}, {s.data.size() + 100, 4096, 0, 1}};
    return s;
}

void replace(std::string& s, const std::string& from, const std::string& to) {
    size_t at = s.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    s.replace(at, from.size(), to);
}

std::string map_bytes(const std::vector<map_row>& rows) {
    std::string m;
    for (const map_row& r : rows) {
        put64(m, r.mapped);
        put64(m, r.length);
        put64(m, r.target_offset);
        put32(m, r.target);
    }
    return m;
}

void set_map(image_recipe& s, const std::vector<map_row>& rows) { s.member("/map")->data = map_bytes(rows); }

void set_index_entry(image_recipe& s, size_t n, uint64_t off, uint32_t len) {
    std::string& idx = s.member("00000000.index")->data;
    std::string e;
    put64(e, off);
    put32(e, len);
    idx.replace(n * 12, 12, e);
}

// The central directory record of the member whose name ends with suffix.
size_t central_record(const std::string& f, const std::string& suffix) {
    for (size_t at = f.find(std::string("PK\x01\x02", 4)); at != std::string::npos;
         at = f.find(std::string("PK\x01\x02", 4), at + 4)) {
        size_t len = static_cast<uint8_t>(f[at + 28]) | static_cast<uint8_t>(f[at + 29]) << 8;
        std::string name = f.substr(at + 46, len);
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return at;
    }
    ADD_FAILURE() << "no member " << suffix;
    return std::string::npos;
}

// Where the bytes of the member start in the file (no extra field: not zip64).
size_t member_data(const std::string& f, const std::string& suffix) {
    size_t cd = central_record(f, suffix);
    if (cd == std::string::npos) return 0;
    size_t local = static_cast<uint8_t>(f[cd + 42]) | static_cast<uint8_t>(f[cd + 43]) << 8 |
                   static_cast<uint8_t>(f[cd + 44]) << 16 | static_cast<size_t>(static_cast<uint8_t>(f[cd + 45])) << 24;
    size_t name = static_cast<uint8_t>(f[local + 26]) | static_cast<uint8_t>(f[local + 27]) << 8;
    return local + 30 + name;
}

void set_zip_method(std::string& f, const std::string& suffix, uint8_t method) {
    size_t cd = central_record(f, suffix);
    if (cd == std::string::npos) return;
    f[cd + 10] = static_cast<char>(method);
    f[cd + 11] = 0;
}

// A wrong CRC-32 in the directory record of the member.
void break_crc(std::string& f, const std::string& suffix) {
    if (size_t cd = central_record(f, suffix); cd != std::string::npos) f[cd + 16] ^= 0x01;
}

const std::vector<hostile_case>& cases() {
    static const std::vector<hostile_case> table = {
        // The zip container.
        {"empty file", nullptr, [](std::string& f) { f.clear(); }, stage::open, EINVAL, "not a zip"},
        {"truncated to half", nullptr, [](std::string& f) { f.resize(f.size() / 2); }, stage::open, EINVAL, "zip"},
        {"truncated end record", nullptr, [](std::string& f) { f.resize(f.size() - 30); }, stage::open, EINVAL,
         "zip"},
        {"central directory beyond the file", nullptr,
         [](std::string& f) {
             size_t end = f.rfind(std::string("PK\x05\x06", 4));
             f[end + 16] = '\xff';
             f[end + 17] = '\xff';
             f[end + 18] = '\xff';
             f[end + 19] = '\x7f';
         },
         stage::open, EINVAL, "central directory"},
        {"entry count beyond the central directory", nullptr,
         [](std::string& f) {
             size_t end = f.rfind(std::string("PK\x05\x06", 4));
             f[end + 10] = '\xfe';
             f[end + 11] = '\xff';
         },
         stage::open, EINVAL, "entries"},
        {"local header offset off the mark", nullptr,
         [](std::string& f) {
             size_t cd = f.find(std::string("PK\x01\x02", 4));
             f[cd + 42] = 7;
         },
         stage::open, EINVAL, "local header"},
        {"entry size beyond the file", nullptr,
         [](std::string& f) {
             size_t cd = f.find(std::string("PK\x01\x02", 4));
             memcpy(&f[cd + 20], "\xff\xff\xff\x7f", 4);
             memcpy(&f[cd + 24], "\xff\xff\xff\x7f", 4);
         },
         stage::open, EINVAL, "overruns"},
        {"zip64 field missing", nullptr,
         [](std::string& f) {
             size_t cd = f.find(std::string("PK\x01\x02", 4));
             memcpy(&f[cd + 20], "\xff\xff\xff\xff", 4);
         },
         stage::open, EINVAL, "zip64"},
        {"deflated turtle claiming 60 MiB", [](image_recipe& s) { s.deflate_metadata = true; },
         [](std::string& f) {
             size_t cd = f.find(std::string("PK\x01\x02", 4));
             size_t name = f.find("information.turtle", cd);
             memcpy(&f[name - 46 + 24], "\x00\x00\xc0\x03", 4);
         },
         stage::open, EINVAL, "does not inflate to its size"},
        {"no volume URI", [](image_recipe& s) {
             s.comment = "";
             s.members.erase(s.members.begin());
         },
         nullptr, stage::open, EINVAL, "volume URI"},
        {"turtle: a stray byte", [](image_recipe& s) { s.turtle = "\x01"; }, nullptr, stage::open, EINVAL,
         "information.turtle line 1"},
        // The turtle.
        {"turtle: statement without its dot",
         [](image_recipe& s) { replace(s.turtle, "aff4:stored : .\n\n<", "aff4:stored : \n\n<"); }, nullptr,
         stage::open, EINVAL, "line"},
        {"turtle: undeclared prefix", [](image_recipe& s) { replace(s.turtle, "a aff4:Map", "a aff5:Map"); }, nullptr,
         stage::open, EINVAL, "undeclared prefix"},
        {"turtle: blank node without a predicate",
         [](image_recipe& s) { replace(s.turtle, "aff4:stored : ;", "aff4:stored [ ;"); },
         nullptr, stage::open, EINVAL, "information.turtle line 16: bad verb"},
        {"turtle: collections nested 100000 deep",
         [](image_recipe& s) {
             s.turtle += "<aff4://x> <aff4://y> " + std::string(100000, '(') + std::string(100000, ')') + " .\n";
         },
         nullptr, stage::open, ENOTSUP, "nested deeper than 32"},
        {"turtle: blank nodes nested too deep, a ')' in a string",
         [](image_recipe& s) {
             std::string deep;
             for (int i = 0; i < 33; ++i) deep += "[ <aff4://p> \"))]]'\" ; <aff4://q> ";
             s.turtle += "<aff4://x> <aff4://y> " + deep + "1" + std::string(33, ']') + " .\n";
         },
         nullptr, stage::open, ENOTSUP, "nested deeper than 32"},
        {"turtle: statements repeating a long subject",
         [](image_recipe& s) {
             s.turtle += "<aff4://" + std::string(1u << 20, 'x') + "> <aff4://p> <aff4://o>";
             for (int i = 0; i < 300; ++i) s.turtle += " , <aff4://o>";
             s.turtle += " .\n";
         },
         nullptr, stage::open, ENOTSUP, "MiB of statements"},
        {"turtle: relative IRI with a space", [](image_recipe& s) { replace(s.turtle, "a aff4:Map", "a <Ma p>"); },
         nullptr, stage::open, EINVAL, "IRI"},
        {"turtle: bad escape", [](image_recipe& s) { replace(s.turtle, "\"4096\"^^", "\"40\\q96\"^^"); }, nullptr,
         stage::open, EINVAL, "escape"},
        {"turtle: unterminated string", [](image_recipe& s) { replace(s.turtle, "\"4096\"^^", "\"4096^^"); },
         nullptr, stage::open, EINVAL, "string"},
        {"turtle: NUL byte", [](image_recipe& s) { s.turtle += std::string(1, '\0'); }, nullptr, stage::open,
         EINVAL, "NUL"},
        {"turtle: unknown directive", [](image_recipe& s) { s.turtle = "@foo <aff4://x> .\n" + s.turtle; }, nullptr,
         stage::open, EINVAL, "directive"},
        {"no image", [](image_recipe& s) { replace(s.turtle, "a aff4:ContiguousImage , aff4:DiskImage , aff4:Image", "a aff4:Thing"); },
         nullptr, stage::open, EINVAL, "no aff4:Image"},
        // CRC-32s of the members read whole.
        {"turtle with a wrong CRC-32", nullptr, [](std::string& f) { break_crc(f, "information.turtle"); },
         stage::open, EINVAL, "information.turtle is damaged: its CRC-32 is"},
        {"deflated turtle with a wrong CRC-32", [](image_recipe& s) { s.deflate_metadata = true; },
         [](std::string& f) { break_crc(f, "information.turtle"); }, stage::open, EINVAL,
         "information.turtle is damaged"},
        {"map with a wrong CRC-32", nullptr, [](std::string& f) { break_crc(f, "/map"); }, stage::open, EINVAL,
         "map is damaged"},
        {"map changed after it was written (still a valid map)", nullptr,
         [](std::string& f) { f[member_data(f, "/map") + 28 + 16] ^= 0x05; }, stage::open, EINVAL,
         "map is damaged"},
        {"idx with a wrong CRC-32", nullptr, [](std::string& f) { break_crc(f, "/idx"); }, stage::open, EINVAL,
         "idx is damaged"},
        {"index with a wrong CRC-32", nullptr, [](std::string& f) { break_crc(f, "00000000.index"); }, stage::read,
         EINVAL, "00000000.index is damaged"},
        {"container.description with a wrong CRC-32",
         [](image_recipe& s) { s.comment = ""; }, [](std::string& f) { break_crc(f, "container.description"); },
         stage::open, EINVAL, "container.description is damaged"},
        // The image stream's metadata.
        {"chunk size zero", [](image_recipe& s) { replace(s.turtle, "chunkSize \"4096\"", "chunkSize \"0\""); },
         nullptr, stage::open, EINVAL, "chunkSize"},
        {"chunk size 4 GiB", [](image_recipe& s) { replace(s.turtle, "chunkSize \"4096\"", "chunkSize \"4294967296\""); },
         nullptr, stage::open, EINVAL, "chunkSize"},
        {"no chunksInSegment, nor the first index to count",
         [](image_recipe& s) {
             s.say_chunks_in_segment = false;
             s.build();
             s.member("00000000.index")->name += "x";
         },
         nullptr, stage::open, ENOENT, "00000000.index is missing"},
        {"no chunksInSegment, and a first index of part entries",
         [](image_recipe& s) {
             s.say_chunks_in_segment = false;
             s.build();
             s.member("00000000.index")->data += "abc";
         },
         nullptr, stage::open, EINVAL, "not whole index entries"},
        {"chunk size not a number", [](image_recipe& s) { replace(s.turtle, "chunkSize \"4096\"", "chunkSize \"4k\""); },
         nullptr, stage::open, EINVAL, "not a number"},
        {"size beyond 64 bits",
         [](image_recipe& s) { replace(s.turtle, "aff4:size \"37564\"", "aff4:size \"99999999999999999999\""); },
         nullptr, stage::open, EINVAL, "not a number"},
        {"stream size of an exabyte",
         [](image_recipe& s) { replace(s.turtle, "aff4:size \"37564\"", "aff4:size \"1152921504606846976\""); },
         nullptr, stage::open, EINVAL, "bevies"},
        {"unknown compression",
         [](image_recipe& s) { replace(s.turtle, "http://code.google.com/p/snappy/", "http://example.com/zstd"); },
         nullptr, stage::open, ENOTSUP, "compression method"},
        {"image and map sizes differ",
         [](image_recipe& s) { replace(s.turtle, "aff4:size \"1048576\"^^xsd:long ;\n    aff4:stored : .", "aff4:size \"1048577\"^^xsd:long ;\n    aff4:stored : ."); },
         nullptr, stage::open, EINVAL, "data stream is"},
        // The map.
        {"map segment missing", [](image_recipe& s) { s.member("/map")->name += "x"; }, nullptr, stage::open, ENOENT,
         "missing"},
        {"map of part entries", [](image_recipe& s) { s.member("/map")->data += "abc"; }, nullptr, stage::open, EINVAL,
         "whole entries"},
        {"map entry beyond the map",
         [](image_recipe& s) { set_map(s, {{(1u << 20) - 10, 11, 0, 1}}); }, nullptr, stage::open, EINVAL,
         "out of range"},
        {"map entry wrapping around",
         [](image_recipe& s) { set_map(s, {{10, UINT64_MAX - 5, 0, 1}}); }, nullptr, stage::open, EINVAL,
         "out of range"},
        {"map target id beyond idx", [](image_recipe& s) { set_map(s, {{0, 10, 0, 2}}); }, nullptr, stage::open,
         EINVAL, "out of range"},
        {"map target offset wrapping", [](image_recipe& s) { set_map(s, {{0, 10, UINT64_MAX - 3, 1}}); }, nullptr,
         stage::open, EINVAL, "out of range"},
        {"map entry beyond the image stream", [](image_recipe& s) { set_map(s, {{0, 4096, 37564 - 4000, 0}}); },
         nullptr, stage::open, EINVAL, "beyond"},
        {"map entries overlap", [](image_recipe& s) { set_map(s, {{0, 100, 0, 0}, {99, 10, 0, 1}}); }, nullptr,
         stage::open, EINVAL, "overlap"},
        {"map target unknown symbol",
         [](image_recipe& s) { s.member("/idx")->data = std::string(k_stream) + "\n" + k_ns + "SymbolicStreamZZ\n"; },
         nullptr, stage::open, ENOTSUP, "not supported"},
        {"map target that is a map",
         [](image_recipe& s) { s.member("/idx")->data = std::string(k_stream) + "\n" + k_map + "\n"; }, nullptr,
         stage::open, ENOTSUP, "another map"},
        {"map target stream nowhere",
         [](image_recipe& s) { s.member("/idx")->data = std::string(k_stream) + "\naff4://nowhere\n"; }, nullptr,
         stage::open, ENOENT, "missing"},
        // The bevies and their index: checked at the first read of the bevy.
        {"index entry beyond its bevy", [](image_recipe& s) { set_index_entry(s, 2, 1u << 30, 100); }, nullptr,
         stage::read, EINVAL, "outside its bevy"},
        {"index entry of length zero", [](image_recipe& s) { set_index_entry(s, 1, 0, 0); }, nullptr, stage::read,
         EINVAL, "outside its bevy"},
        {"index entry of 4 GiB", [](image_recipe& s) { set_index_entry(s, 1, 0, 0xffffffff); }, nullptr, stage::read,
         EINVAL, "outside its bevy"},
        {"index of part entries", [](image_recipe& s) { s.member("00000000.index")->data.pop_back(); }, nullptr,
         stage::read, EINVAL, "index entries"},
        {"index short of entries", [](image_recipe& s) { s.member("00000000.index")->data.resize(12); }, nullptr,
         stage::read, EINVAL, "index entries"},
        {"bevy missing", [](image_recipe& s) { s.member("/00000000")->name += "x"; }, nullptr, stage::read, ENOENT,
         "missing"},
        {"bevy in an unknown zip method", nullptr, [](std::string& f) { set_zip_method(f, "/00000000", 12); },
         stage::read, ENOTSUP, "zip method 12"},
        {"deflated bevy that does not inflate", [](image_recipe& s) { s.member("/00000000")->deflate = true; },
         [](std::string& f) { f[member_data(f, "/00000000") + 5] ^= 0x55; }, stage::read, EINVAL, "inflate"},
        {"chunk that does not decode",
         [](image_recipe& s) {
             std::string& b = s.member("/00000000")->data;
             for (size_t i = 0; i < 64 && i < b.size(); ++i) b[i] = static_cast<char>(0xff - i);
         },
         nullptr, stage::read, EIO, "decode"},
        {"chunk pointing at its neighbour's bytes",
         [](image_recipe& s) { set_index_entry(s, 0, 3, 100); }, nullptr, stage::read, EIO, "decode"},
    };
    return table;
}

TEST(Aff4Hostile, DamagedImagesFailCleanly) {
    temp_dir dir;
    for (const hostile_case& c : cases()) {
        SCOPED_TRACE(c.name);
        image_recipe s = base();
        s.build();
        if (c.damage) c.damage(s);
        if (::testing::Test::HasFatalFailure()) return;
        std::string bytes = s.write();
        if (c.damage_file) c.damage_file(bytes);
        std::string path = dir.file("bad.aff4", bytes);
        errno = 0;
        int h = AFF4_open(path.c_str());
        int err = errno;
        if (c.when == stage::open) {
            EXPECT_LT(h, 0);
            EXPECT_EQ(err, c.err) << aff4::last_error();
            EXPECT_NE(std::string(aff4::last_error()).find(c.says), std::string::npos) << aff4::last_error();
            if (h >= 0) AFF4_close(h);
            continue;
        }
        ASSERT_GE(h, 0) << aff4::last_error();
        std::string buf(1u << 20, '\0');
        errno = 0;
        int n = AFF4_read(h, 0, buf.data(), static_cast<int>(buf.size()));
        err = errno;
        EXPECT_LT(n, 0);
        EXPECT_EQ(err, c.err) << aff4::last_error();
        EXPECT_NE(std::string(aff4::last_error()).find(c.says), std::string::npos) << aff4::last_error();
        // The failure stays: a second read does not give bytes either.
        EXPECT_LT(AFF4_read(h, 0, buf.data(), 4096 * 4), 0);
        EXPECT_EQ(AFF4_close(h), 0);
    }
}

// The same image undamaged reads: the table's failures come from the damage.
TEST(Aff4Hostile, TheBaseImageReads) {
    temp_dir dir;
    image_recipe s = base();
    s.build();
    std::string path = dir.file("good.aff4", s.write());
    int h = AFF4_open(path.c_str());
    ASSERT_GE(h, 0) << aff4::last_error();
    int err = 0;
    std::string got = read_all(h, 0, 1u << 20, 1u << 20, &err);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(got.size(), 1u << 20);
    EXPECT_TRUE(got.compare(0, s.data.size(), s.data) == 0);
    EXPECT_EQ(got.find_first_not_of('\0', s.data.size()), std::string::npos);
    AFF4_close(h);
}

}  // namespace

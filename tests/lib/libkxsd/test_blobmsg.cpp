// Message bodies: golden bytes of the writers, growth and trimming, the
// 24-bit limits, and the parse of malformed bodies.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fuzz/blobmsg_fuzz_body.h"
#include "libkxsd/blobmsg.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

struct body_buf {
    msg_buf b{};
    body_buf() { EXPECT_EQ(msg_buf_init(&b, BLOBMSG_TYPE_TABLE), 0); }
    ~body_buf() { msg_buf_free(&b); }
    // The attributes after the root word.
    std::string attrs_hex() const { return hex(b.buf + 4, static_cast<size_t>(msg_buf_len(&b) - 4)); }
    uint32_t root_word() const { return be_get32(b.buf); }
};

// A named attribute written by hand, independent of the writers: word (with
// the raw length given, or the real one), name length (given or real), the
// name, NUL, zero fill, payload, zero padding of what was written.
bytes attr(uint32_t type, const std::string& name, const bytes& payload, int raw = -1, int nlen = -1,
           bool named = true) {
    bytes out(4);
    const int n = static_cast<int>(name.size());
    out.push_back(static_cast<uint8_t>((nlen < 0 ? n : nlen) >> 8));
    out.push_back(static_cast<uint8_t>(nlen < 0 ? n : nlen));
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    while (out.size() < static_cast<size_t>(4 + ((n + 6) & ~3))) out.push_back(0);
    out.insert(out.end(), payload.begin(), payload.end());
    const uint32_t real = static_cast<uint32_t>(out.size());
    be_put32(out.data(), (named ? MSG_ATTR_NAMED : 0) | type << 24 | static_cast<uint32_t>(raw < 0 ? real : raw));
    while (out.size() % 4) out.push_back(0);
    return out;
}

bytes i32(int32_t v) {
    bytes b(4);
    be_put32(b.data(), static_cast<uint32_t>(v));
    return b;
}
bytes i64(int64_t v) {
    bytes b(8);
    be_put64(b.data(), static_cast<uint64_t>(v));
    return b;
}
bytes str(const std::string& s) {
    bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}
bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(Blobmsg, WritersProduceTheGoldenBytes) {
    struct row {
        const char* what;
        std::function<int(msg_buf*)> add;
        const char* attrs;
    };
    const row rows[] = {
        {"fd int64 7", [](msg_buf* b) { return blobmsg_add_i64(b, "fd", 7); },
         "85000014" "00026664" "00000000" "0000000000000007"},
        {"errno int32 0", [](msg_buf* b) { return blobmsg_add_i32(b, "errno", 0); },
         "86000010" "00056572726e6f00" "00000000"},
        {"errno_str empty (raw 17, takes 20)", [](msg_buf* b) { return blobmsg_add_string(b, "errno_str", ""); },
         "84000011" "0009" "6572726e6f5f737472" "00" "00" "000000"},
        {"negative int32", [](msg_buf* b) { return blobmsg_add_i32(b, "len", -2); },
         "86000010" "00036c656e000000" "fffffffe"},
        {"binary of 3 bytes", [](msg_buf* b) { return blobmsg_add_binary(b, "data", "\x01\x02\x03", 3); },
         "8300000f" "000464617461" "0000" "010203" "00"},
        {"empty binary", [](msg_buf* b) { return blobmsg_add_binary(b, "data", nullptr, 0); },
         "8300000c" "000464617461" "0000"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        body_buf bb;
        ASSERT_EQ(r.add(&bb.b), 0);
        EXPECT_EQ(bb.attrs_hex(), r.attrs);
        // The root is a plain table whose raw length covers the padded attributes.
        EXPECT_EQ(bb.root_word(), 0x02000000u | static_cast<uint32_t>(4 + std::strlen(r.attrs) / 2));
    }
}

TEST(Blobmsg, NameHeaderSizes) {
    for (auto [letters, header] : {std::pair{1, 4}, {2, 8}, {5, 8}, {6, 12}, {9, 12}}) {
        SCOPED_TRACE(letters);
        body_buf bb;
        const std::string name(static_cast<size_t>(letters), 'n');
        ASSERT_EQ(blobmsg_add_i32(&bb.b, name.c_str(), 1), 0);
        const auto* a = reinterpret_cast<const msg_attr*>(bb.b.buf + 4);
        EXPECT_EQ(blobmsg_data(a) - msg_attr_bytes(a), 4 + header);
        EXPECT_EQ(msg_attr_raw_len(a), 4 + header + 4);
        EXPECT_EQ(blobmsg_data_len(a), 4);
        EXPECT_EQ(blobmsg_check(a, true), 1);
    }
}

TEST(Blobmsg, GrowthStepsAndReuse) {
    // An empty buffer gets 256 bytes for its root.
    msg_buf b{};
    ASSERT_EQ(msg_buf_init(&b, BLOBMSG_TYPE_TABLE), 0);
    EXPECT_EQ(b.buflen, 256);
    EXPECT_EQ(b.grow, &msg_buf_grow_default);
    // The shortfall rounded down to 256, plus 256.
    for (auto [missing, added] : {std::pair{4, 256}, {255, 256}, {256, 512}, {300, 512}, {1000, 1024}}) {
        const int32_t before = b.buflen;
        ASSERT_TRUE(msg_buf_grow_default(&b, missing));
        EXPECT_EQ(b.buflen - before, added) << missing;
    }
    msg_buf_free(&b);
    EXPECT_EQ(b.buflen, 0);
    EXPECT_EQ(b.buf, nullptr);

    // Equal-sized requests allocate once.
    ASSERT_EQ(msg_buf_init(&b, BLOBMSG_TYPE_TABLE), 0);
    const std::string block(3000, 'a');
    ASSERT_EQ(blobmsg_add_binary(&b, "data", block.data(), 3000), 0);
    const uint8_t* storage = b.buf;
    const int32_t len = b.buflen;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(msg_buf_init(&b, BLOBMSG_TYPE_TABLE), 0);
        EXPECT_EQ(msg_buf_len(&b), 4);
        ASSERT_EQ(blobmsg_add_binary(&b, "data", block.data(), 3000), 0);
        EXPECT_EQ(b.buf, storage);
        EXPECT_EQ(b.buflen, len);
    }
    msg_buf_free(&b);
}

TEST(Blobmsg, ReserveThenTrimKeepsTheRootLengthExact) {
    body_buf bb;
    ASSERT_EQ(blobmsg_add_i64(&bb.b, "fd", 3), 0);
    void* room = nullptr;
    msg_attr* a = blobmsg_add_alloc(&bb.b, "data", 1 << 20, &room);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(room, blobmsg_data(a));
    EXPECT_EQ(blobmsg_data_len(a), 1 << 20);
    std::memcpy(room, "0123456789", 10);
    ASSERT_EQ(blobmsg_set_len(&bb.b, a, 10), 0);
    ASSERT_EQ(blobmsg_add_i32(&bb.b, "len", 10), 0);

    // root word + fd (20) + data (4 + 8 + 10 -> 24) + len (16)
    EXPECT_EQ(msg_buf_len(&bb.b), 4 + 20 + 24 + 16);
    EXPECT_EQ(msg_attr_raw_len(reinterpret_cast<const msg_attr*>(bb.b.buf)), 4 + 20 + 24 + 16);

    const blobmsg_policy p[] = {{"fd", BLOBMSG_TYPE_INT64}, {"data", BLOBMSG_TYPE_BINARY}, {"len", BLOBMSG_TYPE_INT32}};
    const msg_attr* out[3];
    blobmsg_parse(p, 3, out, bb.b.buf + 4, msg_buf_len(&bb.b) - 4);
    ASSERT_TRUE(out[0] && out[1] && out[2]);
    EXPECT_EQ(blobmsg_data_len(out[1]), 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blobmsg_data(out[1])), 10), "0123456789");
    EXPECT_EQ(blobmsg_get_i32(out[2]), 10);
}

TEST(Blobmsg, TrimRefusesWhatItCannotDoSafely) {
    body_buf bb;
    void* room = nullptr;
    msg_attr* first = blobmsg_add_alloc(&bb.b, "data", 100, &room);
    ASSERT_NE(first, nullptr);
    const int32_t len = msg_buf_len(&bb.b);
    EXPECT_EQ(blobmsg_set_len(&bb.b, first, 101), -1);  // beyond the room reserved
    EXPECT_EQ(blobmsg_set_len(&bb.b, first, -1), -1);
    EXPECT_EQ(msg_buf_len(&bb.b), len);
    ASSERT_EQ(blobmsg_add_i32(&bb.b, "len", 1), 0);
    EXPECT_EQ(blobmsg_set_len(&bb.b, first, 10), -1);  // no longer the last attribute
    EXPECT_EQ(blobmsg_data_len(first), 100);
    // Trimming to nothing is fine.
    msg_attr* last = blobmsg_add_alloc(&bb.b, "data2", 64, &room);
    ASSERT_EQ(blobmsg_set_len(&bb.b, last, 0), 0);
    EXPECT_EQ(blobmsg_data_len(last), 0);
    EXPECT_EQ(msg_buf_len(&bb.b), len + 16 + 12);
}

TEST(Blobmsg, WritersStopAtThe24BitLimit) {
    body_buf bb;
    const int32_t hdr = blobmsg_hdr_len(4);  // "data"
    // The largest payload that keeps the root within 0xFFFFFF on an empty body.
    const int32_t most = MSG_ATTR_MAX_LEN - 4 - 4 - hdr - 3;
    void* room = nullptr;
    EXPECT_EQ(blobmsg_add_alloc(&bb.b, "data", most + 4, &room), nullptr);
    EXPECT_EQ(room, nullptr);
    EXPECT_EQ(msg_buf_len(&bb.b), 4);
    msg_attr* a = blobmsg_add_alloc(&bb.b, "data", most, &room);
    ASSERT_NE(a, nullptr);
    EXPECT_LE(msg_attr_raw_len(reinterpret_cast<const msg_attr*>(bb.b.buf)), MSG_ATTR_MAX_LEN);
    // The body is full: even a small field no longer fits.
    EXPECT_EQ(blobmsg_add_i32(&bb.b, "x", 1), -1);

    // A single attribute over the limit, a name over 16 bits, a negative length.
    ASSERT_EQ(msg_buf_init(&bb.b, BLOBMSG_TYPE_TABLE), 0);
    EXPECT_EQ(blobmsg_add_alloc(&bb.b, "data", MSG_ATTR_MAX_LEN, &room), nullptr);
    EXPECT_EQ(blobmsg_add_alloc(&bb.b, "data", 0x7fffffff, &room), nullptr);
    const std::string long_name(0x10000, 'n');
    EXPECT_EQ(blobmsg_add_i32(&bb.b, long_name.c_str(), 1), -1);
    EXPECT_EQ(blobmsg_add_field(&bb.b, BLOBMSG_TYPE_BINARY, "data", "x", -1), -1);
    EXPECT_EQ(msg_buf_len(&bb.b), 4);
    // The buffer stays usable.
    EXPECT_EQ(blobmsg_add_i32(&bb.b, "errno", 0), 0);
    EXPECT_EQ(bb.attrs_hex(), "86000010" "00056572726e6f00" "00000000");
}

TEST(Blobmsg, AFailedGrowthFailsTheAdd) {
    msg_buf b{};
    b.grow = [](msg_buf*, int32_t) { return false; };
    EXPECT_EQ(msg_buf_init(&b, BLOBMSG_TYPE_TABLE), -1);
    b.grow = nullptr;
    ASSERT_EQ(msg_buf_init(&b, BLOBMSG_TYPE_TABLE), 0);
    b.grow = [](msg_buf*, int32_t) { return false; };
    EXPECT_EQ(blobmsg_add_binary(&b, "data", nullptr, 0), 0);  // fits in the first 256 bytes
    void* room = nullptr;
    EXPECT_EQ(blobmsg_add_alloc(&b, "data", 1000, &room), nullptr);
    EXPECT_EQ(msg_buf_len(&b), 4 + 12);
    msg_buf_free(&b);
}

// ---- parse

namespace {

const blobmsg_policy kPolicy[] = {
    {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}, {"fd", BLOBMSG_TYPE_INT64},
    {"data", BLOBMSG_TYPE_BINARY}, {"x", BLOBMSG_TYPE_BINARY},         {"any", BLOBMSG_TYPE_UNSPEC},
    {nullptr, BLOBMSG_TYPE_UNSPEC},
};
constexpr int kRows = 7;

// Which rows the parse filled, as a text of row indexes.
std::string found(const bytes& body, int32_t len = -1) {
    bytes exact(body);  // heap copy of exactly the body's size
    const msg_attr* out[kRows];
    blobmsg_parse(kPolicy, kRows, out, exact.data(), len < 0 ? static_cast<int32_t>(exact.size()) : len);
    std::string s;
    for (int i = 0; i < kRows; i++) {
        if (out[i]) s += std::to_string(i);
    }
    return s;
}

}  // namespace

TEST(Blobmsg, ParseOfMalformedBodies) {
    const bytes errno0 = attr(BLOBMSG_TYPE_INT32, "errno", i32(0));
    const bytes estr = attr(BLOBMSG_TYPE_STRING, "errno_str", str(""));
    const bytes fd = attr(BLOBMSG_TYPE_INT64, "fd", i64(5));
    const bytes data = attr(BLOBMSG_TYPE_BINARY, "data", {1, 2, 3});
    struct row {
        const char* what;
        bytes body;
        std::string rows;  // indexes of the rows found
        int32_t len = -1;
    };
    const row rows[] = {
        {"a well-formed reply", cat({errno0, estr, fd, data}), "0123"},
        {"fields in any order", cat({data, fd, estr, errno0}), "0123"},
        {"errno as int64 counts as absent", cat({attr(BLOBMSG_TYPE_INT64, "errno", i64(0)), estr, fd}), "12"},
        {"int32 with 5 bytes ends the parse",
         cat({estr, attr(BLOBMSG_TYPE_INT32, "errno", {0, 0, 0, 0, 0}), fd}), "1"},
        {"string without NUL ends the parse", cat({errno0, attr(BLOBMSG_TYPE_STRING, "errno_str", {'a', 'b'}), fd}),
         "0"},
        {"empty string payload ends the parse", cat({errno0, attr(BLOBMSG_TYPE_STRING, "errno_str", {}), fd}), "0"},
        {"name header overrunning the attribute (4 letters, raw 10)",
         cat({errno0, attr(BLOBMSG_TYPE_BINARY, "data", {}, 10), fd}), "0"},
        {"name header overrunning the attribute (1 letter, raw 7: payload -1)",
         cat({errno0, attr(BLOBMSG_TYPE_BINARY, "x", {}, 7), fd}), "0"},
        {"name length beyond the attribute", cat({errno0, attr(BLOBMSG_TYPE_BINARY, "data", {1, 2}, -1, 200), fd}),
         "02"},
        {"a type above 8 under an any-type row ends the parse", cat({errno0, attr(9, "any", {1}), fd}), "0"},
        {"a type above 8 under a typed row is only absent", cat({errno0, attr(9, "fd", i64(1)), fd}), "02"},
        {"name without NUL ends the parse",
         cat({errno0,
              [] {
                  bytes b = attr(BLOBMSG_TYPE_INT64, "fd", i64(1));
                  b[8] = 'z';  // the NUL after "fd"
                  return b;
              }(),
              data}),
         "0"},
        {"a field the policy does not name is ignored", cat({attr(BLOBMSG_TYPE_STRING, "zzz", str("q")), fd}), "2"},
        {"same-length other name", cat({attr(BLOBMSG_TYPE_INT64, "fe", i64(1)), estr}), "1"},
        {"an unnamed attribute is skipped", cat({errno0, bytes{0x06, 0, 0, 8, 0, 0, 0, 1}, fd}), "02"},
        {"a named attribute without room for its name length is skipped",
         cat({errno0, bytes{0x86, 0, 0, 4}, bytes{0x86, 0, 0, 5, 0, 0, 0, 0}, fd}), "02"},
        {"a zero length stops the walk", cat({errno0, bytes{0x86, 0, 0, 0}, fd}), "0"},
        {"a length past the end stops the walk", cat({errno0, bytes{0x86, 0, 1, 0}, fd}), "0"},
        {"a parse length ending inside a field keeps the earlier ones", cat({errno0, estr, fd}), "01", 16 + 20 + 12},
        {"an empty name never matches", cat({attr(BLOBMSG_TYPE_INT64, "", i64(1)), fd}), "2"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(found(r.body, r.len), r.rows);
    }
}

TEST(Blobmsg, DuplicatesTheFirstWins) {
    const bytes body = cat({attr(BLOBMSG_TYPE_INT64, "fd", i64(1)), attr(BLOBMSG_TYPE_INT64, "fd", i64(2))});
    const msg_attr* out[kRows];
    blobmsg_parse(kPolicy, kRows, out, body.data(), static_cast<int32_t>(body.size()));
    ASSERT_NE(out[2], nullptr);
    EXPECT_EQ(blobmsg_get_i64(out[2]), 1);
}

TEST(Blobmsg, ParseNeverReadsPastItsBuffer) {
    // Exact-size buffers: any read beyond them trips the address sanitizer.
    for (const bytes& b : {bytes{0x86, 0, 0, 4}, bytes{0x86, 0, 0, 1}, bytes{0x84, 0, 0, 2}, bytes{0x86, 0},
                           bytes{0x86, 0, 0, 6, 0, 2}, bytes{0x85, 0, 0, 0x14, 0, 2, 'f', 'd'}}) {
        EXPECT_EQ(found(b), "") << hex(b.data(), b.size());
    }
    EXPECT_EQ(found({}), "");
}

TEST(Blobmsg, CheckRules) {
    struct row {
        const char* what;
        bytes a;
        bool name_required;
        int valid;
    };
    const row rows[] = {
        {"valid int32", attr(BLOBMSG_TYPE_INT32, "n", i32(1)), true, 1},
        {"unnamed", attr(BLOBMSG_TYPE_INT32, "n", i32(1), -1, -1, false), false, 0},
        {"no room for the name length", bytes{0x86, 0, 0, 5, 0, 0, 0, 0}, false, 0},
        {"empty name, name required", attr(BLOBMSG_TYPE_BINARY, "", {}), true, 0},
        {"empty name, name not required", attr(BLOBMSG_TYPE_BINARY, "", {}), false, 1},
        {"int16 of 2", attr(BLOBMSG_TYPE_INT16, "n", {0, 1}), true, 1},
        {"int16 of 3", attr(BLOBMSG_TYPE_INT16, "n", {0, 1, 2}), true, 0},
        {"int8 of 1", attr(BLOBMSG_TYPE_INT8, "n", {7}), true, 1},
        {"int64 of 7", attr(BLOBMSG_TYPE_INT64, "n", {0, 0, 0, 0, 0, 0, 1}), true, 0},
        {"table passes", attr(BLOBMSG_TYPE_TABLE, "n", {9, 9, 9}), true, 1},
        {"array passes", attr(BLOBMSG_TYPE_ARRAY, "n", {9}), true, 1},
        {"unspec passes", attr(BLOBMSG_TYPE_UNSPEC, "n", {}), true, 1},
        {"type 9", attr(9, "n", {}), true, 0},
        {"type 127", attr(127, "n", {}), true, 0},
        {"header longer than the attribute", attr(BLOBMSG_TYPE_BINARY, "nn", {}, 8), true, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(blobmsg_check(reinterpret_cast<const msg_attr*>(r.a.data()), r.name_required), r.valid);
    }
}

TEST(Blobmsg, SeededMutationsOfAReplyParseSafely) {
    log_capture quiet(LOG2_CRIT);
    const bytes seed = cat({attr(BLOBMSG_TYPE_INT32, "errno", i32(0)), attr(BLOBMSG_TYPE_STRING, "errno_str", str("")),
                            attr(BLOBMSG_TYPE_INT64, "fd", i64(7)), attr(BLOBMSG_TYPE_INT32, "len", i32(3)),
                            attr(BLOBMSG_TYPE_BINARY, "data", {1, 2, 3}), attr(BLOBMSG_TYPE_UNSPEC, "x", {4})});
    std::mt19937 rng(20240611);
    for (int round = 0; round < 20000; round++) {
        bytes b = seed;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; e++) {
            const size_t at = rng() % b.size();
            switch (rng() % 5) {
                case 0: b[at] = static_cast<uint8_t>(rng()); break;
                case 1: b[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
                case 2: b.resize(at); break;
                case 3: {  // a length word or name length of its own
                    const size_t w = at & ~size_t{3};
                    if (w + 4 <= b.size()) be_put32(b.data() + w, static_cast<uint32_t>(rng()));
                    break;
                }
                default: b.insert(b.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
            }
            if (b.empty()) break;
        }
        blobmsg_fuzz_one(b.data(), b.size());
    }
}

// ---- nesting, formatted and in-place strings, plain attributes

namespace {

// A plain attribute written by hand: word, payload, zero padding.
bytes plain(uint32_t type, const bytes& payload) {
    bytes out(4);
    be_put32(out.data(), type << 24 | static_cast<uint32_t>(4 + payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    while (out.size() % 4) out.push_back(0);
    return out;
}

std::string hexb(const bytes& b) { return hex(b.data(), b.size()); }

// An attribute word with a raw length, as bytes (the caller appends the rest).
bytes word(uint32_t w, int32_t raw) {
    bytes b(4);
    be_put32(b.data(), w | static_cast<uint32_t>(raw));
    return b;
}

}  // namespace

TEST(BlobmsgMore, NestingGivesTheBytesOfTheHandBuiltTree) {
    // { "fd": 7, "t": { "a": 1, "l": [ "x", 2 ] }, plain nested { int32 9 }, "z": "" }
    body_buf bb;
    ASSERT_EQ(blobmsg_add_i64(&bb.b, "fd", 7), 0);
    const int64_t root_pos = blobmsg_open_nested(&bb.b, "t", false);
    EXPECT_EQ(root_pos, MSG_NEST_COOKIE);  // the root, at offset 0
    ASSERT_EQ(blobmsg_add_i32(&bb.b, "a", 1), 0);
    const int64_t t_pos = blobmsg_open_nested(&bb.b, "l", true);
    EXPECT_EQ(t_pos, MSG_NEST_COOKIE + 4 + 20);  // "t" starts after the root word and "fd"
    ASSERT_EQ(blobmsg_add_string(&bb.b, "", "x"), 0);
    ASSERT_EQ(blobmsg_add_i32(&bb.b, "", 2), 0);
    EXPECT_EQ(msg_nest_end(&bb.b, root_pos), -1);  // not the array's own parent
    ASSERT_EQ(msg_nest_end(&bb.b, t_pos), 0);
    ASSERT_EQ(msg_nest_end(&bb.b, root_pos), 0);
    const int64_t p = msg_nest_start(&bb.b, MSG_TYPE_NESTED);
    ASSERT_EQ(p, MSG_NEST_COOKIE);
    ASSERT_NE(msg_put(&bb.b, MSG_TYPE_INT32, "\0\0\0\x09", 4), nullptr);
    ASSERT_EQ(msg_nest_end(&bb.b, p), 0);
    EXPECT_EQ(msg_nest_end(&bb.b, p), -1);  // nothing open any more
    ASSERT_EQ(blobmsg_add_string(&bb.b, "z", ""), 0);

    const bytes list = cat({attr(BLOBMSG_TYPE_STRING, "", str("x")), attr(BLOBMSG_TYPE_INT32, "", i32(2))});
    const bytes table = cat({attr(BLOBMSG_TYPE_INT32, "a", i32(1)), attr(BLOBMSG_TYPE_ARRAY, "l", list)});
    const bytes want = cat({attr(BLOBMSG_TYPE_INT64, "fd", i64(7)), attr(BLOBMSG_TYPE_TABLE, "t", table),
                            plain(MSG_TYPE_NESTED, plain(MSG_TYPE_INT32, i32(9))),
                            attr(BLOBMSG_TYPE_STRING, "z", str(""))});
    EXPECT_EQ(bb.attrs_hex(), hexb(want));
    EXPECT_EQ(bb.root_word(), 0x02000000u | static_cast<uint32_t>(4 + want.size()));

    // Read back: the table and the array are valid lists of their kind.
    const blobmsg_policy top[] = {{"fd", BLOBMSG_TYPE_INT64}, {"t", BLOBMSG_TYPE_TABLE}, {"z", BLOBMSG_TYPE_STRING}};
    const msg_attr* out[3];
    ASSERT_EQ(blobmsg_parse_all(top, 3, out, bb.b.buf + 4, msg_buf_len(&bb.b) - 4), 0);
    EXPECT_EQ(blobmsg_check_list(out[1], BLOBMSG_TYPE_UNSPEC), 1);
    const blobmsg_policy inner[] = {{"a", BLOBMSG_TYPE_INT32}, {"l", BLOBMSG_TYPE_ARRAY}};
    const msg_attr* in[2];
    ASSERT_EQ(blobmsg_parse_all(inner, 2, in, blobmsg_data(out[1]), blobmsg_data_len(out[1])), 0);
    EXPECT_EQ(blobmsg_check_list(in[1], BLOBMSG_TYPE_UNSPEC), 1);
    EXPECT_EQ(blobmsg_check_list(in[1], BLOBMSG_TYPE_STRING), 0);  // one member is an int32
}

TEST(BlobmsgMore, NestingSurvivesTheBufferMoving) {
    body_buf bb;
    const int64_t outer = blobmsg_open_nested(&bb.b, "tbl", false);
    ASSERT_GE(outer, 0);
    const int64_t inner = blobmsg_open_nested(&bb.b, "arr", true);
    ASSERT_GE(inner, 0);
    const uint8_t* before = bb.b.buf;
    const std::string big(100000, 'q');
    ASSERT_EQ(blobmsg_add_binary(&bb.b, "", big.data(), static_cast<int32_t>(big.size())), 0);
    EXPECT_NE(bb.b.buf, before);  // the storage moved under the open nestings
    ASSERT_EQ(msg_nest_end(&bb.b, inner), 0);
    ASSERT_EQ(msg_nest_end(&bb.b, outer), 0);
    const bytes want = attr(BLOBMSG_TYPE_TABLE, "tbl",
                            attr(BLOBMSG_TYPE_ARRAY, "arr", attr(BLOBMSG_TYPE_BINARY, "", bytes(big.begin(), big.end()))));
    EXPECT_EQ(msg_buf_len(&bb.b), static_cast<int32_t>(4 + want.size()));
    EXPECT_TRUE(bb.attrs_hex() == hexb(want));
}

TEST(BlobmsgMore, NestingIsBoundByTheBodyLimit) {
    body_buf bb;
    const int64_t pos = msg_nest_start(&bb.b, MSG_TYPE_NESTED);
    ASSERT_GE(pos, 0);
    // Fits the nested attribute on its own (4 + 16777208 bytes), but not the
    // root around it (8 + 16777208).
    void* room = nullptr;
    EXPECT_EQ(blobmsg_add_alloc(&bb.b, "d", MSG_ATTR_MAX_LEN - 15, &room), nullptr);
    EXPECT_NE(blobmsg_add_alloc(&bb.b, "d", MSG_ATTR_MAX_LEN - 19, &room), nullptr);
    ASSERT_EQ(msg_nest_end(&bb.b, pos), 0);
    EXPECT_LE(msg_attr_raw_len(reinterpret_cast<const msg_attr*>(bb.b.buf)), MSG_ATTR_MAX_LEN);
}

TEST(BlobmsgMore, FormattedAndInPlaceStringsEqualThePlainWriter) {
    body_buf want;
    ASSERT_EQ(blobmsg_add_string(&want.b, "path", "/img\t42\t-7"), 0);
    ASSERT_EQ(blobmsg_add_string(&want.b, "e", ""), 0);
    ASSERT_EQ(blobmsg_add_i32(&want.b, "n", 5), 0);

    body_buf got;
    ASSERT_EQ(blobmsg_add_printf(&got.b, "path", "%s\t%u\t%lli", "/img", 42u, -7LL), 0);
    ASSERT_EQ(blobmsg_add_printf(&got.b, "e", "%s", ""), 0);
    ASSERT_EQ(blobmsg_add_i32(&got.b, "n", 5), 0);
    EXPECT_EQ(got.attrs_hex(), want.attrs_hex());

    // Reserve, print, enlarge past the buffer's end, print more, finish.
    body_buf in_place;
    char* text = blobmsg_string_reserve(&in_place.b, "path", 4);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(msg_buf_len(&in_place.b), 4);  // not part of the body yet
    std::snprintf(text, 5, "/img");
    text = blobmsg_string_enlarge(&in_place.b, 5000);
    ASSERT_NE(text, nullptr);
    EXPECT_GE(in_place.b.buflen, 4 + 12 + 5001);
    EXPECT_STREQ(text, "/img");
    std::memset(text + 14, 'x', 4000);  // scribbles after the text's NUL are not taken
    std::snprintf(text + 4, 7, "\t42\t-7");
    ASSERT_EQ(blobmsg_string_finish(&in_place.b), 0);
    EXPECT_EQ(blobmsg_string_finish(&in_place.b), -1);  // nothing reserved any more
    ASSERT_NE(blobmsg_string_reserve(&in_place.b, "e", 0), nullptr);
    ASSERT_EQ(blobmsg_string_finish(&in_place.b), 0);  // the room starts as the empty text
    ASSERT_EQ(blobmsg_add_i32(&in_place.b, "n", 5), 0);
    EXPECT_EQ(in_place.attrs_hex(), want.attrs_hex());
}

TEST(BlobmsgMore, AFinishWithoutANulInTheBufferFails) {
    body_buf bb;
    char* text = blobmsg_string_reserve(&bb.b, "s", 8);
    ASSERT_NE(text, nullptr);
    // Fill every byte up to the end of the storage: the text has no end.
    std::memset(text, 'a', static_cast<size_t>(bb.b.buf + bb.b.buflen - reinterpret_cast<uint8_t*>(text)));
    EXPECT_EQ(blobmsg_string_finish(&bb.b), -1);
    EXPECT_EQ(msg_buf_len(&bb.b), 4);
    EXPECT_EQ(blobmsg_string_enlarge(&bb.b, -1), nullptr);
    // No reserved string: enlarge has nothing to grow.
    ASSERT_EQ(msg_buf_init(&bb.b, BLOBMSG_TYPE_TABLE), 0);
    ASSERT_EQ(blobmsg_add_i32(&bb.b, "n", 1), 0);
    EXPECT_EQ(blobmsg_string_enlarge(&bb.b, 10), nullptr);
}

TEST(BlobmsgMore, AllocBinaryAndPlainPuts) {
    body_buf bb;
    auto* d = static_cast<uint8_t*>(blobmsg_alloc_binary(&bb.b, "data", 3));
    ASSERT_NE(d, nullptr);
    std::memcpy(d, "\x01\x02\x03", 3);
    ASSERT_NE(msg_put(&bb.b, MSG_TYPE_STRING, "hi", 3), nullptr);
    const bytes encoded = plain(MSG_TYPE_INT16, {0x12, 0x34});
    msg_attr* raw = msg_put_raw(&bb.b, encoded.data(), 6);  // the word says 6: padding is the writer's
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(msg_put_raw(&bb.b, encoded.data(), 3), nullptr);
    EXPECT_EQ(bb.attrs_hex(), hexb(cat({attr(BLOBMSG_TYPE_BINARY, "data", {1, 2, 3}), plain(MSG_TYPE_STRING, str("hi")),
                                        encoded})));
    EXPECT_EQ(blobmsg_alloc_binary(&bb.b, "data", -1), nullptr);
}

TEST(BlobmsgMore, ParseAllAndParseListTable) {
    const bytes a = attr(BLOBMSG_TYPE_INT32, "", i32(1));
    const bytes s = attr(BLOBMSG_TYPE_STRING, "", str("x"));
    const bytes b = attr(BLOBMSG_TYPE_INT32, "", i32(2));
    const bytes bad32 = attr(BLOBMSG_TYPE_INT32, "", {0, 0, 1});
    const blobmsg_policy list[] = {{nullptr, BLOBMSG_TYPE_INT32}, {nullptr, BLOBMSG_TYPE_UNSPEC},
                                   {nullptr, BLOBMSG_TYPE_INT32}};
    struct row {
        const char* what;
        bytes body;
        int rc;
        std::string rows;  // the payload's first byte of each row found ('-' for none)
    };
    const row rows[] = {
        {"members by position", cat({a, s, b}), 0, "1x2"},
        {"a member of another type is passed over", cat({s, a, s, b}), 0, "1x2"},
        {"stops when every row is filled", cat({a, b, b, bad32}), 0, "122"},
        {"too few members leave rows empty", cat({a}), 0, "1--"},
        {"an invalid member of the row's type fails", cat({a, bad32}), -1, "1--"},
        {"an invalid member of another type is passed over",
         cat({attr(BLOBMSG_TYPE_STRING, "", {'a'}), a}), 0, "1--"},
        {"an invalid member matching the row fails", cat({bad32, a}), -1, "---"},
        {"a named member counts too", cat({attr(BLOBMSG_TYPE_INT32, "n", i32(3)), s, b}), 0, "3x2"},
        {"a plain member is invalid", cat({plain(6, i32(1))}), -1, "---"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const bytes exact(r.body);
        const msg_attr* out[3];
        EXPECT_EQ(blobmsg_parse_list(list, 3, out, exact.data(), static_cast<int32_t>(exact.size())), r.rc);
        std::string got;
        for (const msg_attr* o : out) {
            if (!o) {
                got += '-';
            } else if (msg_attr_type(o) == BLOBMSG_TYPE_STRING) {
                got += blobmsg_get_string(o)[0];
            } else {
                got += static_cast<char>('0' + blobmsg_get_i32(o));
            }
        }
        EXPECT_EQ(got, r.rows);
    }

    // parse_all: every row found, or -1 (a nameless row is never found).
    const bytes reply = cat({attr(BLOBMSG_TYPE_INT32, "errno", i32(0)), attr(BLOBMSG_TYPE_STRING, "errno_str", str(""))});
    const blobmsg_policy both[] = {{"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING}};
    const blobmsg_policy more[] = {{"errno", BLOBMSG_TYPE_INT32}, {"fd", BLOBMSG_TYPE_INT64}};
    const blobmsg_policy nameless[] = {{"errno", BLOBMSG_TYPE_INT32}, {nullptr, BLOBMSG_TYPE_UNSPEC}};
    const msg_attr* out[2];
    EXPECT_EQ(blobmsg_parse_all(both, 2, out, reply.data(), static_cast<int32_t>(reply.size())), 0);
    EXPECT_EQ(blobmsg_parse_all(more, 2, out, reply.data(), static_cast<int32_t>(reply.size())), -1);
    EXPECT_NE(out[0], nullptr);  // what was found stays
    EXPECT_EQ(blobmsg_parse_all(nameless, 2, out, reply.data(), static_cast<int32_t>(reply.size())), -1);
}

TEST(BlobmsgMore, CheckListTable) {
    const bytes n1 = attr(BLOBMSG_TYPE_INT32, "a", i32(1));
    const bytes n2 = attr(BLOBMSG_TYPE_INT32, "b", i32(2));
    const bytes u1 = attr(BLOBMSG_TYPE_INT32, "", i32(1));
    const bytes us = attr(BLOBMSG_TYPE_STRING, "", str("s"));
    struct row {
        const char* what;
        bytes a;
        uint32_t type;
        int want;
    };
    const row rows[] = {
        {"table of named int32", attr(BLOBMSG_TYPE_TABLE, "t", cat({n1, n2})), BLOBMSG_TYPE_INT32, 1},
        {"table, any type", attr(BLOBMSG_TYPE_TABLE, "t", cat({n1, attr(BLOBMSG_TYPE_STRING, "s", str(""))})), 0, 1},
        {"table with a member of another type", attr(BLOBMSG_TYPE_TABLE, "t", cat({n1, us})), BLOBMSG_TYPE_INT32, 0},
        {"table with a nameless member", attr(BLOBMSG_TYPE_TABLE, "t", cat({n1, u1})), BLOBMSG_TYPE_INT32, 0},
        {"array of nameless members", attr(BLOBMSG_TYPE_ARRAY, "l", cat({u1, us})), 0, 1},
        {"array allows names", attr(BLOBMSG_TYPE_ARRAY, "l", cat({n1, u1})), BLOBMSG_TYPE_INT32, 1},
        {"empty array", attr(BLOBMSG_TYPE_ARRAY, "l", {}), BLOBMSG_TYPE_STRING, 1},
        {"array with an invalid member", attr(BLOBMSG_TYPE_ARRAY, "l", cat({u1, attr(BLOBMSG_TYPE_INT32, "", {1})})),
         0, 0},
        {"array with a member running past its end", attr(BLOBMSG_TYPE_ARRAY, "l", cat({u1, word(0x86000000, 40)})), 0,
         0},
        {"array with a trailing fragment", attr(BLOBMSG_TYPE_ARRAY, "l", cat({u1, bytes{0, 0}})), 0, 0},
        {"not a list", n1, 0, 0},
        {"a type above 8", attr(BLOBMSG_TYPE_ARRAY, "l", u1), 9, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const bytes exact(r.a);
        EXPECT_EQ(blobmsg_check_list(reinterpret_cast<const msg_attr*>(exact.data()), r.type), r.want);
    }
}

TEST(BlobmsgMore, PlainParseTakesTheLastOfEachTypeThatPassesItsRow) {
    static int seen = 0;
    const msg_attr_info info[] = {
        {MSG_TYPE_UNSPEC, 0, 0, nullptr},
        {MSG_TYPE_NESTED, 0, 0, nullptr},
        {MSG_TYPE_BINARY, 2, 3, nullptr},  // 2 or 3 bytes
        {MSG_TYPE_STRING, 0, 0, nullptr},
        {MSG_TYPE_INT8, 0, 0, nullptr},
        {MSG_TYPE_INT16, 0, 0, nullptr},
        {MSG_TYPE_INT32, 0, 0,
         [](const msg_attr_info*, const msg_attr* a) {
             seen++;
             return be_get32(msg_attr_bytes(a) + 4) != 13;  // 13 is refused
         }},
    };
    const bytes inner = cat({
        plain(MSG_TYPE_INT32, i32(1)), plain(MSG_TYPE_INT32, i32(13)), plain(MSG_TYPE_INT32, {0, 0, 0, 0, 0}),
        plain(MSG_TYPE_BINARY, {9}), plain(MSG_TYPE_BINARY, {1, 2}), plain(MSG_TYPE_BINARY, {1, 2, 3, 4}),
        plain(MSG_TYPE_STRING, {'a'}), plain(MSG_TYPE_STRING, str("ok")),
        plain(MSG_TYPE_INT64, i64(5)),  // type 7: at and above max (7), skipped
        plain(MSG_TYPE_INT16, {1}), attr(MSG_TYPE_INT8, "named", {7}),
    });
    const bytes outer = plain(MSG_TYPE_NESTED, inner);
    const msg_attr* out[7];
    EXPECT_EQ(msg_parse(reinterpret_cast<const msg_attr*>(outer.data()), out, info, 7), 3);
    EXPECT_EQ(seen, 2);  // the callback runs after the length checks
    ASSERT_NE(out[MSG_TYPE_INT32], nullptr);
    EXPECT_EQ(be_get32(msg_attr_bytes(out[MSG_TYPE_INT32]) + 4), 1u);
    ASSERT_NE(out[MSG_TYPE_BINARY], nullptr);
    EXPECT_EQ(msg_attr_raw_len(out[MSG_TYPE_BINARY]), 6);
    ASSERT_NE(out[MSG_TYPE_STRING], nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(msg_attr_bytes(out[MSG_TYPE_STRING]) + 4), "ok");
    EXPECT_EQ(out[MSG_TYPE_INT16], nullptr);
    // A named int8 of 1 + 8 name-header bytes is not a valid plain int8.
    EXPECT_EQ(out[MSG_TYPE_INT8], nullptr);

    // Without rows: the last of each type below max.
    EXPECT_EQ(msg_parse(reinterpret_cast<const msg_attr*>(outer.data()), out, nullptr, 7), 5);
    EXPECT_EQ(msg_attr_raw_len(out[MSG_TYPE_BINARY]), 8);
    EXPECT_EQ(be_get32(msg_attr_bytes(out[MSG_TYPE_INT32]) + 4), 0u);  // the 5-byte one came last

    // A member whose length runs past the container ends the walk.
    const bytes cut = plain(MSG_TYPE_NESTED, cat({plain(MSG_TYPE_STRING, str("a")), word(0x06000000, 64), i32(0)}));
    EXPECT_EQ(msg_parse(reinterpret_cast<const msg_attr*>(cut.data()), out, nullptr, 7), 1);
    EXPECT_EQ(out[MSG_TYPE_INT32], nullptr);
}

TEST(BlobmsgMore, EqualityAndCopyCoverThePaddedBytes) {
    const bytes s1 = attr(BLOBMSG_TYPE_STRING, "s", str("abcde"));
    bytes s2 = s1;
    EXPECT_TRUE(msg_attr_equal(nullptr, nullptr));
    EXPECT_FALSE(msg_attr_equal(reinterpret_cast<const msg_attr*>(s1.data()), nullptr));
    EXPECT_TRUE(msg_attr_equal(reinterpret_cast<const msg_attr*>(s1.data()), reinterpret_cast<const msg_attr*>(s2.data())));
    s2.back() = 1;  // a padding byte
    EXPECT_FALSE(msg_attr_equal(reinterpret_cast<const msg_attr*>(s1.data()), reinterpret_cast<const msg_attr*>(s2.data())));
    const bytes longer = attr(BLOBMSG_TYPE_STRING, "s", str("abcdefghi"));
    EXPECT_FALSE(msg_attr_equal(reinterpret_cast<const msg_attr*>(s1.data()), reinterpret_cast<const msg_attr*>(longer.data())));

    msg_attr* copy = msg_attr_copy(reinterpret_cast<const msg_attr*>(s1.data()));
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(msg_attr_equal(copy, reinterpret_cast<const msg_attr*>(s1.data())));
    EXPECT_EQ(hex(msg_attr_bytes(copy), s1.size()), hexb(s1));
    pl_free(copy);
    EXPECT_EQ(msg_attr_copy(nullptr), nullptr);
}

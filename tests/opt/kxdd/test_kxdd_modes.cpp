// The modes that read without copying: digests of the input ("hash_mode"),
// the byte-value table ("bcount_mode"), compares ("diff_mode") and the
// synchronisation of an output ("sync_mode").
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kxdd_e2e.h"
#include "support/faultinject.h"
#include "support/proc.h"

namespace {

using namespace kxdd_e2e;

// The first word a digest tool prints for a file.
std::string tool_digest(const std::vector<std::string>& argv, const std::string& path) {
    std::vector<std::string> a = argv;
    a.push_back(path);
    proc_result r = run_proc(a);
    if (r.status != 0) return {};
    std::string out = r.out;
    // "SM3(file)= hex" of openssl; "hex  file" of the others.
    size_t eq = out.find("= ");
    if (eq != std::string::npos && out.find('(') < eq) return out.substr(eq + 2, out.find('\n') - eq - 2);
    return out.substr(0, out.find_first_of(" \n"));
}

// The digest the summary printed on the line "NAME: hex".
std::string printed_digest(const std::string& err, const std::string& name) {
    std::string key = "\n" + name + ": ";
    std::string text = "\n" + err;
    size_t at = text.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    return text.substr(at, text.find('\n', at) - at);
}

class KxddModes : public testing::Test {
protected:
    temp_dir dir;
    std::string in = dir.file("in");
    std::string out = dir.file("out");

    proc_result kxdd(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), "timeout");
        args.insert(args.begin() + 1, "120");
        args.insert(args.begin() + 2, kxdd_bin());
        return run_proc(args, input);
    }
};

// ---- hash_mode

TEST_F(KxddModes, HashMatchesTheDigestTools) {
    // Not a multiple of any step, so the last range of each layout is partial.
    write_file(in, random_bytes((3u << 20) + 123, 7));
    struct tool {
        const char* word;
        const char* name;
        std::vector<std::string> argv;
    };
    const tool tools[] = {
        {"md5", "MD5", {"md5sum"}},          {"sha1", "SHA1", {"sha1sum"}},
        {"sha256", "SHA256", {"sha256sum"}}, {"sha512", "SHA512", {"sha512sum"}},
        {"xxh3", "XXH3", {"xxh128sum"}},     {"sm3", "SM3", {"openssl", "dgst", "-sm3"}},
    };
    std::string words;
    for (const auto& t : tools) words += (words.empty() ? "" : ",") + std::string(t.word);
    const std::vector<std::vector<std::string>> layouts = {
        {},                            // 2 MiB blocks, 32 per step: one step
        {"bs=64K", "bs_count=1"},      // 49 steps
        {"bs=1000", "bs_count=7"},     // blocks that split the sectors
        {"bs=1M", "conv=cal_one_task"},
    };
    for (const auto& layout : layouts) {
        std::vector<std::string> args{"if=" + in, "hash_mode=" + words};
        args.insert(args.end(), layout.begin(), layout.end());
        SCOPED_TRACE(layout.empty() ? "defaults" : layout[0]);
        proc_result p = kxdd(args);
        ASSERT_EQ(p.status, 0) << p.err;
        std::string err = clean_err(p.err);
        for (const auto& t : tools) {
            std::string want = tool_digest(t.argv, in);
            if (want.empty()) continue;  // the tool cannot do it here
            EXPECT_EQ(printed_digest(err, t.name), want) << t.name << "\n" << err;
        }
        EXPECT_TRUE(contains(err, "3145851 bytes (3.0M) hash,")) << err;
        // The fixed print order: MD5 and XXH3 before SHA1, SHA512 last.
        EXPECT_LT(err.find("\nMD5: "), err.find("\nXXH3: "));
        EXPECT_LT(err.find("\nXXH3: "), err.find("\nSHA1: "));
        EXPECT_LT(err.find("\nSM3: "), err.find("\nSHA512: "));
        EXPECT_TRUE(contains(err, "in type=[file]")) << err;
        EXPECT_FALSE(contains(err, "out type=")) << err;
    }
}

TEST_F(KxddModes, HashOfAStreamAndOfNothing) {
    std::string data = random_bytes((5u << 20) + 77, 8);
    write_file(in, data);
    std::string md5 = tool_digest({"md5sum"}, in);
    // A pipe: no size, read in order until it ends.
    proc_result p = kxdd({"hash_mode=md5", "bs=1M", "bs_count=2"}, data);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(printed_digest(clean_err(p.err), "MD5"), md5) << p.err;
    EXPECT_TRUE(contains(clean_err(p.err), "5242957 bytes")) << p.err;

    // "skip" on a pipe drops its blocks first.
    write_file(dir.file("tail"), data.substr(3u << 20));
    p = kxdd({"hash_mode=md5", "bs=1M", "bs_count=1", "skip=3"}, data);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(printed_digest(clean_err(p.err), "MD5"), tool_digest({"md5sum"}, dir.file("tail"))) << p.err;

    // An empty file has the digest of nothing.
    write_file(dir.file("empty"), "");
    p = kxdd({"if=" + dir.file("empty"), "hash_mode=md5,sha1"});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(printed_digest(clean_err(p.err), "MD5"), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(printed_digest(clean_err(p.err), "SHA1"), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST_F(KxddModes, PerBlockDigestsDoNotDependOnTheStep) {
    write_file(in, random_bytes(1000000, 9));
    std::string first;
    for (const char* per_step : {"bs_count=1", "bs_count=5", "bs_count=300"}) {
        proc_result p = kxdd({"if=" + in, "hash_mode=pmd5,pxxh3", "bs=4096", per_step});
        ASSERT_EQ(p.status, 0) << p.err;
        std::string got = printed_digest(clean_err(p.err), "PMD5") + printed_digest(clean_err(p.err), "PXXH3");
        ASSERT_EQ(got.size(), 64u) << p.err;
        if (first.empty()) first = got;
        EXPECT_EQ(got, first) << per_step;
    }
}

// The per-block digests of a regular file, which the pool's threads read
// themselves, equal those of the caller's thread alone ("cal_one_task") and
// the values of an independent oracle (hashlib, XXH3 and a bitwise CRC-8 in
// Python), for one step and for steps of several blocks, the last one short.
TEST_F(KxddModes, PerBlockDigestsOfAFileReadOnEveryCore) {
    write_file(in, random_bytes((5u << 20) + 4097, 21));
    struct layout {
        std::vector<std::string> args;
        const char* pmd5;
        const char* psha256;
        const char* pxxh3;
    };
    const char* md5_256k = "6b8322094e174cbd3a4ccad71f0ec64d";
    const char* sha256_256k = "3e74fab93aae369728b927ea66ade3da90ffe178317901340bde038d504ec911";
    const char* xxh3_256k = "b419631c9e852a0c9679fea5610efaa8";
    const layout layouts[] = {
        {{"bs=2M", "bs_count=3"}, "22928041380504443b228c09909b2021",
         "f340e08efda28b9832a32f12be61cd8ed43defa6d239e40f450e3c99cae9dfc9", "e3ca0101037fd3287ed6136131e2bdb3"},
        {{"bs=256K", "bs_count=8"}, md5_256k, sha256_256k, xxh3_256k},
        {{"bs=256K", "bs_count=3"}, md5_256k, sha256_256k, xxh3_256k},
    };
    for (const layout& l : layouts) {
        for (bool one_task : {false, true}) {
            std::vector<std::string> args{"if=" + in, "hash_mode=psha256,pxxh3,pmd5"};
            args.insert(args.end(), l.args.begin(), l.args.end());
            if (one_task) args.push_back("conv=cal_one_task");
            SCOPED_TRACE(l.args[0] + " " + l.args[1] + (one_task ? " cal_one_task" : ""));
            proc_result p = kxdd(args);
            ASSERT_EQ(p.status, 0) << p.err;
            std::string err = clean_err(p.err);
            EXPECT_EQ(printed_digest(err, "PMD5"), l.pmd5) << err;
            EXPECT_EQ(printed_digest(err, "PSHA256"), l.psha256) << err;
            EXPECT_EQ(printed_digest(err, "PXXH3"), l.pxxh3) << err;
            EXPECT_TRUE(contains(err, "5246977 bytes (5.0M) hash,")) << err;
        }
    }
}

// A read error inside a step of per-block digests: the step is read again
// the one way it always is, so the run ends as with the caller's thread
// alone - the same error line and no digest. An error that comes only once
// is met by the pool's threads; the step read again is whole and the
// digests are right.
TEST_F(KxddModes, PerBlockDigestsThroughReadErrors) {
    write_file(in, random_bytes((5u << 20) + 4097, 21));
    const std::vector<std::string> base{"if=" + in, "hash_mode=psha256", "bs=256K", "bs_count=8"};
    auto error_line = [](const std::string& err) {
        size_t at = err.find("bd_hash_cal [");
        return at == std::string::npos ? std::string() : err.substr(at, err.find('\n', at) - at);
    };
    fi_options o;
    o.path = in;
    o.err = "EACCES";
    o.ranges = {{3u << 20, (3u << 20) + 512}};
    std::string lines[2];
    int status[2] = {0, 0};
    {
        fi_env_guard env(o);
        for (int one_task = 0; one_task <= 1; one_task++) {
            // Two quick re-opens, not a minute of them.
            std::vector<std::string> args = base;
            args.insert(args.end(), {"retry_open=1", "retry_delay_seconds=1"});
            if (one_task) args.push_back("conv=cal_one_task");
            proc_result p = kxdd(args);
            status[one_task] = p.status;
            lines[one_task] = error_line(clean_err(p.err));
            EXPECT_FALSE(contains(clean_err(p.err), "PSHA256:")) << p.err;
        }
    }
    EXPECT_NE(status[0], 0);
    EXPECT_EQ(status[0], status[1]);
    EXPECT_NE(lines[0], "");
    EXPECT_EQ(lines[0], lines[1]);

    o.fail_count = 1;
    fi_env_guard env(o);
    proc_result p = kxdd(base);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(printed_digest(clean_err(p.err), "PSHA256"),
              "3e74fab93aae369728b927ea66ade3da90ffe178317901340bde038d504ec911")
        << p.err;
}

TEST_F(KxddModes, HashFailuresPrintNoDigest) {
    std::string data = random_bytes(1u << 20, 10);
    write_file(in, data);
    // A read error that is not a media error ends the run: no digest at all.
    fi_options o;
    o.path = in;
    o.err = "EACCES";
    o.ranges = {{600000, 600512}};
    fi_env_guard env(o);
    proc_result p = kxdd({"if=" + in, "hash_mode=md5", "bs=64K", "bs_count=1"});
    EXPECT_NE(p.status, 0) << p.err;
    EXPECT_FALSE(contains(clean_err(p.err), "MD5:")) << p.err;
    EXPECT_TRUE(contains(clean_err(p.err), "bd_hash_cal [")) << p.err;
}

// An unreadable sector in the second step of 2 MiB: the failure names the
// offset of the read that met it, not the start of the step, whatever the
// job that read it (the caller's thread alone, or the pool first).
TEST_F(KxddModes, JobFailuresNameTheOffsetOfTheFailingRead) {
    write_file(in, random_bytes(4u << 20, 13));
    write_file(out, read_file(in));
    constexpr uint64_t bad = (3u << 20) + 3584;  // sector 6151, step 1 of 64K x 32
    struct fail_case {
        std::vector<std::string> ops;
        const char* call;
    };
    const fail_case cases[] = {
        {{"hash_mode=md5"}, "bd_hash_cal"},
        {{"hash_mode=md5,psha256", "conv=cal_one_task"}, "bd_hash_cal"},
        {{"bcount_mode=1"}, "bd_count_cal"},
        {{"of=" + out, "diff_mode=byte"}, "bd_hash_cal"},
    };
    fi_options o;
    o.path = in;
    o.err = "EIO";
    o.ranges = {{bad, bad + 512}};
    fi_env_guard env(o);
    for (const fail_case& c : cases) {
        SCOPED_TRACE(c.ops[0] + (c.ops.size() > 1 ? " " + c.ops[1] : ""));
        std::vector<std::string> args{"timeout", "120", kxdd_bin(), "if=" + in, "bs=64K"};
        args.insert(args.end(), c.ops.begin(), c.ops.end());
        proc_result p = run_err_file(dir.path, args);
        EXPECT_EQ(p.status, 1) << p.err;  // an unreadable sector ends these modes
        const std::string err = clean_err(p.err);
        EXPECT_TRUE(contains(err, std::string(c.call) + " [" + in + "] offset=" + std::to_string(bad) + " error: "))
            << err;
        EXPECT_FALSE(contains(err, "offset=2097152 error")) << err;
    }
}

// Where the input ends against "count" and "skip": hashing and counting end
// as the copy of the same range does, with its exit status, and a run that
// ends well reports the bytes the copy wrote, digested as md5sum digests
// them. An input that delivers less than its own size claims fails in every
// mode and shows no digest.
TEST_F(KxddModes, TheEndOfTheInputEndsEveryModeAsTheCopy) {
    const std::string data = random_bytes(100000, 12);  // 24 blocks of 4096 and 1696 bytes
    write_file(in, data);
    struct end_case {
        const char* name;
        bool pipe;
        std::vector<std::string> ops;
        int copy_status;
        int cal_status;           // of hash_mode and bcount_mode
        int64_t data_end = -1;    // the file's reads find no data from here on
    };
    const end_case cases[] = {
        {"file_count_to_the_end", false, {"count=25"}, 0, 0},
        {"file_count_window", false, {"skip=3", "count=10"}, 0, 0},
        {"file_count_past_the_end", false, {"count=1000"}, 1, 1},
        {"file_skip_past_the_end", false, {"skip=30"}, 0, 0},
        {"file_skip_past_the_end_count", false, {"skip=30", "count=2"}, 1, 1},
        {"pipe_count_to_the_end", true, {"count=25"}, 0, 0},
        {"pipe_count_window", true, {"skip=3", "count=10"}, 0, 0},
        {"pipe_count_past_the_end", true, {"count=1000"}, 1, 1},
        {"pipe_skip_past_the_end_count", true, {"skip=30", "count=2"}, 1, 1},
        // The data stops at 60000 of 100000 bytes: the copy says "Unread
        // completed", the digest job finds the end of the file early.
        {"file_stops_short_of_its_size", false, {"retry_open=0", "retry_delay_seconds=0"}, 1, 7, 60000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> src;
        if (!c.pipe) src.push_back("if=" + in);
        const std::string input = c.pipe ? data : std::string();
        fi_options o;
        o.path = in;
        o.data_end = c.data_end;
        std::optional<fi_env_guard> env;
        if (c.data_end >= 0) env.emplace(o);
        auto run = [&](std::vector<std::string> mode) {
            mode.insert(mode.begin(), src.begin(), src.end());
            mode.insert(mode.end(), c.ops.begin(), c.ops.end());
            return kxdd(mode, input);
        };
        std::filesystem::remove(out);
        proc_result copy = run({"of=" + out, "bs=4096"});
        ASSERT_EQ(copy.status, c.copy_status) << copy.err;
        const std::string copied = read_file(out);
        write_file(dir.file("copied"), copied);
        const std::string bytes_line = "\n" + std::to_string(copied.size()) + " bytes (";
        proc_result hash = run({"hash_mode=md5,pmd5", "bs_count=1", "bs=4096"});
        proc_result count = run({"bcount_mode=byte", "bs_count=1", "bs=4096"});
        EXPECT_EQ(hash.status, c.cal_status) << hash.err;
        EXPECT_EQ(count.status, c.cal_status) << count.err;
        const std::string herr = "\n" + clean_err(hash.err), cerr = "\n" + clean_err(count.err);
        if (c.cal_status == 0) {
            EXPECT_EQ(printed_digest(herr, "MD5"), tool_digest({"md5sum"}, dir.file("copied"))) << herr;
            EXPECT_EQ(printed_digest(herr, "PMD5").size(), 32u) << herr;
        } else {
            EXPECT_FALSE(contains(herr, "MD5:")) << herr;
        }
        // Every byte the copy took was hashed and counted, and nothing more
        // (a failed run that took nothing prints no summary).
        if (c.data_end < 0 && (c.copy_status == 0 || !copied.empty())) {
            EXPECT_TRUE(contains(herr, bytes_line)) << bytes_line << herr;
            EXPECT_TRUE(contains(cerr, bytes_line)) << bytes_line << cerr;
        }
        if (c.copy_status == 1 && c.data_end < 0) {
            for (const auto* err : {&copy.err, &hash.err, &count.err})
                EXPECT_TRUE(contains(clean_err(*err), "Unread completed")) << *err;
            EXPECT_FALSE(contains(herr, "bd_hash_cal [")) << herr;
            EXPECT_FALSE(contains(cerr, "bd_count_cal [")) << cerr;
        }
    }
}

TEST_F(KxddModes, HashOfAMissingInput) {
    proc_result p = kxdd({"if=" + dir.file("missing"), "hash_mode=md5"});
    EXPECT_EQ(p.status, 1) << p.err;
    const std::string err = clean_err(p.err);
    EXPECT_TRUE(contains(err, "open [" + dir.file("missing") + "] error: No such file or directory\n")) << err;
    EXPECT_FALSE(contains(err, "MD5:")) << err;
}

// ---- bcount_mode

TEST_F(KxddModes, ByteCountTable) {
    std::string data = std::string(1000, 'a') + std::string(24, '\0') + std::string(3, '\xff');
    write_file(in, data);
    for (const char* step : {"bs=100", "bs=4096"}) {
        SCOPED_TRACE(step);
        proc_result p = kxdd({"if=" + in, "bcount_mode=byte", step});
        ASSERT_EQ(p.status, 0) << p.err;
        std::string err = clean_err(p.err);
        EXPECT_TRUE(contains(err, "Hex\tDec\tChr\tNo\t%\n")) << err;
        EXPECT_TRUE(contains(err, "\n61\t97\ta\t1000\t")) << err;
        EXPECT_TRUE(contains(err, "\n00\t0\t.\t24\t")) << err;
        EXPECT_TRUE(contains(err, "\nFF\t255\t.\t3\t")) << err;
        EXPECT_TRUE(contains(err, "\n62\t98\tb\t0\t")) << err;
        EXPECT_TRUE(contains(err, "1027 bytes (1.0K) bcount,")) << err;
    }
    // A pipe is counted to its end.
    proc_result p = kxdd({"bcount_mode=byte", "bs=64"}, data);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_TRUE(contains(clean_err(p.err), "\n61\t97\ta\t1000\t")) << p.err;
}

// ---- diff_mode

struct diff_case {
    const char* name;
    std::vector<std::string> ops;
    size_t in_size;
    size_t out_size;
    std::vector<size_t> changed;  // offsets changed in the output
    int status;
    const char* verdict;
    std::vector<std::string> lines;  // more lines the summary must hold
};

TEST_F(KxddModes, CompareTable) {
    std::vector<size_t> hundred;
    for (size_t i = 0; i < 100; ++i) hundred.push_back(300000 + i * 1000);
    const diff_case cases[] = {
        {"same, byte", {"diff_mode=byte"}, 3u << 20, 3u << 20, {}, 0, "diff_same=[YES]", {}},
        {"same, bin", {"diff_mode=bin"}, 3u << 20, 3u << 20, {}, 0, "diff_same=[YES]", {}},
        {"both empty", {"diff_mode=byte"}, 0, 0, {}, 0, "diff_same=[YES]", {}},
        {"one byte, byte records",
         {"diff_mode=byte"}, 3u << 20, 3u << 20, {2000000}, 5, "diff_same=[NO not same!!!]",
         {"Offsets:\n0x1e8480:\t ", "1 Show, 1 (1) difference(s) found"}},
        {"one byte, block records",
         {"diff_mode=bs"}, 3u << 20, 3u << 20, {2000000}, 5, "diff_same=[NO not same!!!]",
         {"Offsets:\n0x1e0000\n", "1 Show, 1 (1) difference(s) found"}},
        {"one byte, bin", {"diff_mode=bin"}, 3u << 20, 3u << 20, {2000000}, 5, "diff_same=[NO not same!!!]",
         {"Offsets:\n0x1e8480:\t ", "1 Show, 1 (1) difference(s) found"}},
        {"first and last byte",
         {"diff_mode=byte", "bs=4096", "bs_count=3"}, 100000, 100000, {0, 99999}, 5, "diff_same=[NO not same!!!]",
         {"Offsets:\n0x0:\t ", "\n0x1869f:\t ", "2 Show, 2 (2) difference(s) found"}},
        {"100 bytes, 8 kept", {"diff_mode=byte"}, 1u << 20, 1u << 20, hundred, 5, "diff_same=[NO not same!!!]",
         {"8 Show, 100 (100) difference(s) found"}},
        {"unequal length", {"diff_mode=byte"}, 10u << 20, 12u << 20, {}, 6, "diff_same=[Unequal length]", {}},
        {"unequal length, bin", {"diff_mode=bin"}, 1u << 20, 1000, {}, 6, "diff_same=[Unequal length]", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string a = random_bytes(std::max(c.in_size, c.out_size), 11);
        std::string b = a.substr(0, c.out_size);
        a.resize(c.in_size);
        for (size_t off : c.changed) b[off] = static_cast<char>(b[off] ^ 0x5a);
        write_file(in, a);
        write_file(out, b);
        std::vector<std::string> args{"if=" + in, "of=" + out};
        args.insert(args.end(), c.ops.begin(), c.ops.end());
        proc_result p = kxdd(args);
        EXPECT_EQ(p.status, c.status) << p.err;
        std::string err = clean_err(p.err);
        EXPECT_TRUE(contains(err, std::string(c.verdict) + "\n")) << err;
        for (const auto& l : c.lines) EXPECT_TRUE(contains(err, l)) << l << "\n" << err;
        if (c.changed.empty()) {
            EXPECT_FALSE(contains(err, "Offsets:")) << err;
        }
        if (c.changed.size() == 1 && c.lines.size() && contains(c.lines[0], ":\t")) {
            // Both bytes of the record: the input's, then the output's.
            char want[16];
            snprintf(want, sizeof want, "%02x %02x\n", static_cast<uint8_t>(a[c.changed[0]]),
                     static_cast<uint8_t>(b[c.changed[0]]));
            EXPECT_TRUE(contains(err, want)) << want << "\n" << err;
        }
        // Neither side was changed by the compare.
        EXPECT_TRUE(read_file(in) == a);
        EXPECT_TRUE(read_file(out) == b);
    }
}

TEST_F(KxddModes, UnreadableBytesAreNeverCalledTheSame) {
    // Both sides hold the same bytes, but one sector of the input cannot be
    // read: the compare may not answer YES.
    std::string data = random_bytes(1u << 20, 12);
    write_file(in, data);
    write_file(out, data);
    fi_options o;
    o.path = in;
    o.err = "EIO";
    o.ranges = {{300000, 300512}};
    fi_env_guard env(o);
    for (const char* mode : {"diff_mode=byte", "diff_mode=bin"}) {
        SCOPED_TRACE(mode);
        proc_result p = kxdd({"if=" + in, "of=" + out, mode});
        EXPECT_NE(p.status, 0) << p.err;
        const std::string err = clean_err(p.err);
        EXPECT_FALSE(contains(err, "diff_same=[YES]")) << err;
        // The compare ran to its end and says why it gives no verdict.
        EXPECT_TRUE(contains(err, "no difference in the bytes that could be read: no verdict\n")) << err;
        EXPECT_TRUE(contains(err, "65536 bytes could not be read: they were not compared\n")) << err;
    }
}

TEST_F(KxddModes, StopsWithExit8AndNoVerdictOrDigest) {
    // A hash waiting for its input: SIGINT ends it at once, without a digest.
    {
        live_proc p(kxdd_argv({"hash_mode=md5", "bs=64K", "bs_count=1"}), {.pipe_in = true});
        ASSERT_TRUE(p.feed(random_bytes(100000, 15)));
        ASSERT_TRUE(p.wait_until([&] { return contains(clean_err(p.err()), "in type="); }, 60000)) << p.err();
        p.send(SIGINT);
        // The input stays open: only the stop can end the run.
        ASSERT_TRUE(p.wait_until([&] { return p.ended(); }, 60000)) << p.err();
        EXPECT_EQ(p.finish(), 8) << p.err();
        EXPECT_FALSE(contains(clean_err(p.err()), "MD5:")) << p.err();
    }
    // A compare whose reads are slow: stopped part way, it gives no verdict.
    std::string data = random_bytes(4u << 20, 16);
    write_file(in, data);
    write_file(out, data);
    fi_options o;
    o.path = in;
    o.stall_ms = 100;
    fi_env_guard env(o);
    live_proc p(kxdd_argv({"if=" + in, "of=" + out, "diff_mode=bin", "bs=4096"}), {});
    // A progress line: some blocks were compared, so a summary follows.
    ASSERT_TRUE(p.wait_until([&] { return !progress_lines(p.err()).empty(); }, 60000)) << p.err();
    p.send(SIGINT);
    EXPECT_EQ(p.finish(60000), 8) << p.err();
    std::string err = clean_err(p.err());
    EXPECT_FALSE(contains(err, "diff_same=[YES]")) << err;
    EXPECT_TRUE(contains(err, "no verdict")) << err;
}

// ---- sync_mode

TEST_F(KxddModes, SyncMakesTheOutputTheInput) {
    std::string data = random_bytes((12u << 20) + 5, 13);
    struct sync_case {
        const char* name;
        std::string output;
        std::vector<std::string> ops;
        std::string want;
        const char* line;
    };
    std::string shorter = data.substr(0, 11u << 20);
    shorter[70000] = static_cast<char>(shorter[70000] ^ 1);  // one sub-block of 64 KiB to rewrite
    std::string longer = data + random_bytes(3u << 20, 14);
    longer[5u << 20] = static_cast<char>(longer[5u << 20] ^ 1);
    std::string limited_want = longer;
    limited_want[5u << 20] = data[5u << 20];
    const sync_case cases[] = {
        {"same", data, {}, data, "Sync 0 (0) Bytes"},
        {"shorter output", shorter, {}, data, "Sync 1114117 (1.1M) Bytes"},
        {"longer output is cut", longer, {}, data, "Sync 65536 (64.0K) Bytes"},
        {"empty output", std::string(), {}, data, "Sync 12582917 (12.0M) Bytes"},
        // With a count only the steps run; what lies behind stays.
        {"count keeps the rest", longer, {"bs_count=16", "count=6"}, limited_want, "Check 6291456 (6.0M)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(in, data);
        write_file(out, c.output);
        std::vector<std::string> args{"if=" + in, "of=" + out, "sync_mode=1"};
        args.insert(args.end(), c.ops.begin(), c.ops.end());
        proc_result p = kxdd(args);
        ASSERT_EQ(p.status, 0) << p.err;
        std::string err = clean_err(p.err);
        EXPECT_TRUE(contains(err, c.line)) << err;
        EXPECT_TRUE(contains(err, "Check ")) << err;
        std::string got = read_file(out);
        EXPECT_EQ(got.size(), c.want.size());
        EXPECT_TRUE(got == c.want);
        EXPECT_TRUE(read_file(in) == data);
    }
}

// One sector of the input cannot be read. A sync writes only what it read:
// the output keeps its own bytes where the input failed, a difference
// elsewhere is still mended, and the run ends as a failed read (exit 1 for a
// local input), never 0. A compare records no difference for the bytes it
// could not read, and without any other difference it ends as a failed read
// too, with no verdict.
TEST_F(KxddModes, SyncAndCompareLeaveOutWhatCouldNotBeRead) {
    const std::string data = random_bytes(1u << 20, 17);
    constexpr size_t k_bad = 299520;      // sector 585, unreadable
    constexpr size_t k_in_hole = 299600;  // inside it: the output's byte differs from the input's
    constexpr size_t k_elsewhere = 700000;
    std::string differs = data;
    differs[k_in_hole] = static_cast<char>(differs[k_in_hole] ^ 0x5a);
    differs[k_elsewhere] = static_cast<char>(differs[k_elsewhere] ^ 0x5a);
    std::string mended = differs;  // the sync's result: only the readable difference mended
    mended[k_elsewhere] = data[k_elsewhere];
    const std::string unread_line = " of the input could not be read: the output keeps its own bytes there\n";

    struct unread_case {
        const char* name;
        std::vector<std::string> ops;
        std::string output;
        std::string want;  // the output after the run
        int status;
        std::vector<std::string> lines;
        std::vector<std::string> absent;
    };
    const unread_case cases[] = {
        {"sync", {"sync_mode=1"}, differs, mended, 1, {unread_line}, {}},
        {"sync, nothing else differs", {"sync_mode=1"}, data, data, 1, {unread_line}, {}},
        {"sync, bad_read pattern",
         {"sync_mode=1", "conv=bad_read", "bad_fill_str=XYZ"}, differs, mended, 1,
         {"\n512 bytes (512) " + unread_line.substr(1), "bad_bytes: 512 (512)"}, {}},
        {"compare by digests", {"diff_mode=byte"}, differs, differs, 5,
         {"diff_same=[NO not same!!!]\n", "Offsets:\n0xaae60:\t ", "1 Show, 1 (1) difference(s) found"}, {"0x49"}},
        {"compare by digests, nothing else differs", {"diff_mode=byte"}, data, data, 1,
         {"bytes could not be read: they were not compared"}, {"diff_same=", "Offsets:"}},
        {"compare byte for byte", {"diff_mode=bin"}, differs, differs, 5,
         {"diff_same=[NO not same!!!]\n", "Offsets:\n0xaae60:\t ", "1 Show, 1 (1) difference(s) found"}, {"0x49"}},
        {"compare byte for byte, nothing else differs", {"diff_mode=bin"}, data, data, 1,
         {"bytes could not be read: they were not compared"}, {"diff_same=", "Offsets:"}},
        {"compare with bad_read pattern", {"diff_mode=byte", "conv=bad_read", "bad_fill_str=XYZ"}, differs, differs, 5,
         {"Offsets:\n0xaae60:\t ", "1 Show, 1 (1) difference(s) found"}, {"0x49"}},
    };
    fi_options o;
    o.path = in;
    o.err = "EIO";
    o.ranges = {{k_bad, k_bad + 512}};
    fi_env_guard env(o);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(in, data);
        write_file(out, c.output);
        std::vector<std::string> args{"if=" + in, "of=" + out};
        args.insert(args.end(), c.ops.begin(), c.ops.end());
        proc_result p = kxdd(args);
        EXPECT_EQ(p.status, c.status) << p.err;
        std::string err = clean_err(p.err);
        for (const auto& l : c.lines) EXPECT_TRUE(contains(err, l)) << l << "\n" << err;
        for (const auto& l : c.absent) EXPECT_FALSE(contains(err, l)) << l << "\n" << err;
        EXPECT_FALSE(contains(err, "diff_same=[YES]")) << err;
        std::string got = read_file(out);
        EXPECT_EQ(got.size(), c.want.size());
        EXPECT_TRUE(got == c.want) << "the output's own bytes at " << k_in_hole << ": "
                                   << (got.size() > k_in_hole && got[k_in_hole] == c.want[k_in_hole] ? "kept" : "lost");
        EXPECT_FALSE(contains(got, "XYZ")) << "fill pattern written to the output";
    }
}

// The unreadable part is the input's end, beyond the output's end: nothing
// is made up for it, so the output is not extended over it.
TEST_F(KxddModes, SyncNeverExtendsTheOutputOverAnUnreadTail) {
    const std::string data = random_bytes(1u << 20, 18);
    constexpr size_t k_out = 700000;
    write_file(in, data);
    write_file(out, data.substr(0, k_out));
    fi_options o;
    o.path = in;
    o.err = "EIO";
    o.ranges = {{(1u << 20) - 4096, 1u << 20}};
    fi_env_guard env(o);
    proc_result p = kxdd({"if=" + in, "of=" + out, "sync_mode=1", "conv=bad_read"});
    EXPECT_EQ(p.status, 1) << p.err;
    std::string got = read_file(out);
    // It ends where the last bytes read end (a walk that meets the bad range
    // off a sector boundary may leave a little more unread), never beyond.
    EXPECT_LE(got.size(), (1u << 20) - 4096) << clean_err(p.err);
    EXPECT_GT(got.size(), k_out);
    EXPECT_TRUE(got == data.substr(0, got.size()));
    EXPECT_TRUE(contains(clean_err(p.err), " of the input could not be read: the output keeps its own bytes there\n"))
        << p.err;
}

TEST_F(KxddModes, SyncNeedsAnExistingOutput) {
    write_file(in, "abc");
    proc_result p = kxdd({"if=" + in, "of=" + dir.file("missing"), "sync_mode=1"});
    EXPECT_EQ(p.status, 1) << p.err;
    EXPECT_TRUE(contains(clean_err(p.err), "open [" + dir.file("missing") + "] error: No such file or directory\n"))
        << p.err;
    EXPECT_FALSE(exists(dir.file("missing")));
}

}  // namespace

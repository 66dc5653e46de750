// AFF4 images read end to end through kxdd and the AFF4 library built beside
// it: the small images the test writer makes (each must read as written, each
// hostile one must fail with a message), and the public reference images,
// checked by an oracle that reads each container's own map and digests.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "kxdd_e2e.h"

using namespace kxdd_e2e;

namespace {

const std::string k_python = "/usr/bin/python3";
const std::string k_fixtures = KXDD_AFF4_FIXTURES;

bool have_python() { return access(k_python.c_str(), X_OK) == 0; }

// kxdd with a bound on its run time: a hang ends as a failure (status 137),
// not as a stuck test.
proc_result kxdd_timed(const std::vector<std::string>& args, int seconds = 120) {
    std::vector<std::string> argv = {"timeout", "-s", "KILL", std::to_string(seconds), kxdd_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_proc(argv);
}

// A run that ended by itself: no signal, no sanitizer report.
void expect_no_crash(const proc_result& r) {
    EXPECT_LT(r.status, 128) << r.err;
    EXPECT_FALSE(contains(r.err, "Sanitizer")) << r.err;
    EXPECT_FALSE(contains(r.err, "runtime error")) << r.err;
}

// The "in" device line kxdd prints: its size field, -1 when missing.
long long device_size(const std::string& err) {
    std::string text = clean_err(err);
    size_t at = text.find("in type=[aff4] size: ");
    if (at == std::string::npos) return -1;
    return std::stoll(text.substr(at + strlen("in type=[aff4] size: ")));
}

// The images of the test writer, written once for all the tests here.
struct generated {
    temp_dir dir;
    std::vector<std::pair<std::string, std::string>> good;  // name, file
    std::vector<std::pair<std::string, std::string>> bad;
    std::string error;
};

const generated& images() {
    static generated g;
    static bool made = false;
    if (made) return g;
    made = true;
    proc_result r = run_proc({k_python, KXDD_AFF4_WRITER, g.dir.path});
    if (r.status != 0) {
        g.error = r.out + r.err;
        return g;
    }
    std::istringstream manifest(read_file(g.dir.file("manifest.txt")));
    std::string kind, name, file;
    while (manifest >> kind >> name >> file) (kind == "good" ? g.good : g.bad).emplace_back(name, g.dir.file(file));
    return g;
}

class KxddAff4 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have_python()) GTEST_SKIP() << k_python << " is missing";
        ASSERT_TRUE(images().error.empty()) << images().error;
    }
    temp_dir dir;
};

TEST_F(KxddAff4, EachGeneratedImageReadsAsWritten) {
    ASSERT_GE(images().good.size(), 8u);
    for (const auto& [name, file] : images().good) {
        SCOPED_TRACE(file);
        const std::string want = read_file(images().dir.file(name + ".raw"));
        std::string out = dir.file(name + ".raw");
        proc_result r = kxdd_timed({"if=" + file, "of=" + out, "bs=64k"});
        expect_no_crash(r);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(device_size(r.err), static_cast<long long>(want.size())) << r.err;
        EXPECT_TRUE(read_file(out) == want) << "the bytes read differ from the image's";
        // Reads that start and end inside chunks and map entries.
        proc_result part = kxdd_timed({"if=" + file, "of=" + out, "bs=3000", "skip=7", "count=15"});
        ASSERT_EQ(part.status, 0) << part.err;
        EXPECT_TRUE(read_file(out) == want.substr(21000, 45000)) << "the bytes read from 21000 on differ";
    }
}

TEST_F(KxddAff4, EachHostileImageFailsWithAMessage) {
    ASSERT_GE(images().bad.size(), 30u);
    for (const auto& [name, file] : images().bad) {
        SCOPED_TRACE(name);
        proc_result r = kxdd_timed({"if=" + file, "of=" + dir.file("out.raw"), "bs=64k"}, 60);
        expect_no_crash(r);
        std::string err = clean_err(r.err);
        EXPECT_FALSE(err.empty());
        // A chunk that does not decode reads as a media error, as a bad
        // sector does: the copy goes on with zero bytes there, and says so.
        if (name == "chunk-corrupt" || name == "chunk-short") {
            EXPECT_TRUE(contains(err, "errno=-250 error: Input/output error")) << err;
            EXPECT_TRUE(contains(err, "of the input could not be read: the output holds zero bytes there")) << err;
            continue;
        }
        EXPECT_NE(r.status, 0) << "kxdd copied a broken image:\n" << r.err;
    }
}

// Each part of a striped pair opens the whole image when the other lies
// beside it; alone, it does not open.
TEST_F(KxddAff4, StripedPairOpensFromEitherPart) {
    const std::string want = read_file(images().dir.file("striped.raw"));
    for (const char* part : {"striped/striped_1.aff4", "striped/striped_2.aff4"}) {
        SCOPED_TRACE(part);
        std::string out = dir.file("out.raw");
        proc_result r = kxdd_timed({"if=" + images().dir.file(part), "of=" + out, "bs=64k"});
        expect_no_crash(r);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(read_file(out) == want);
    }
    std::filesystem::create_directories(dir.file("alone"));
    std::filesystem::copy_file(images().dir.file("striped/striped_1.aff4"), dir.file("alone/striped_1.aff4"));
    proc_result r = kxdd_timed({"if=" + dir.file("alone/striped_1.aff4"), "of=" + dir.file("x.raw")});
    expect_no_crash(r);
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_TRUE(contains(clean_err(r.err), "error: No such file or directory")) << r.err;
}

// --- the reference images -------------------------------------------------------

class KxddAff4Reference : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::is_directory(k_fixtures)) GTEST_SKIP() << k_fixtures << " is missing";
        if (!have_python()) GTEST_SKIP() << k_python << " is missing";
    }
    std::string fixture(const std::string& name) const { return k_fixtures + "/" + name; }

    // The oracle's verdict on pieces of the disk image read from the
    // containers (the first one opened).
    proc_result oracle(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {k_python, KXDD_AFF4_ORACLE};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_proc(argv);
    }

    // Reads the whole image with kxdd and has the oracle check it.
    // With control, the oracle must also refuse the bytes with one of them changed.
    void read_and_check(const std::vector<std::string>& containers, bool block_map_hash, bool control = false) {
        std::string out = dir.file("out.raw");
        proc_result r = kxdd_timed({"if=" + containers[0], "of=" + out, "bs=1M"}, 280);
        expect_no_crash(r);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> args = {"check"};
        args.insert(args.end(), containers.begin(), containers.end());
        args.insert(args.end(), {"--", "0:" + out});
        proc_result v = oracle(args);
        ASSERT_EQ(v.status, 0) << v.out << v.err;
        EXPECT_TRUE(contains(v.out, " MD5 ")) << v.out;
        EXPECT_TRUE(contains(v.out, " SHA1 ")) << v.out;
        if (block_map_hash) {
            EXPECT_TRUE(contains(v.out, "block map hash ")) << v.out;
        }
        // The oracle is no rubber stamp: one changed byte, in a range of the
        // image stream and then in a range of zeros, and it disagrees.
        std::vector<long long> flips;
        if (control) flips = {0LL, file_size(out) - 1};
        for (long long at : flips) {
            SCOPED_TRACE(at);
            std::fstream f(out, std::ios::in | std::ios::out | std::ios::binary);
            char b = 0;
            f.seekg(at);
            f.read(&b, 1);
            b = static_cast<char>(b ^ 0x01);
            f.seekp(at);
            f.write(&b, 1);
            f.close();
            proc_result bad = oracle(args);
            EXPECT_EQ(bad.status, 1) << bad.out << bad.err;
            EXPECT_TRUE(contains(bad.out, "MISMATCH: ")) << bad.out;
            b = static_cast<char>(b ^ 0x01);
            f.open(out, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(at);
            f.write(&b, 1);
        }
        std::filesystem::remove(out);
    }
    temp_dir dir;
};

// The disk image agrees with the container's map: the ranges taken from the
// image stream rebuild it with its recorded MD5 and SHA-1, block hashes and
// Block Map Hash; the symbolic ranges read as the standard defines them.
TEST_F(KxddAff4Reference, BaseLinear) { read_and_check({fixture("Base-Linear.aff4")}, true, true); }
TEST_F(KxddAff4Reference, BaseLinearAllHashes) { read_and_check({fixture("Base-Linear-AllHashes.aff4")}, true); }
TEST_F(KxddAff4Reference, BaseAllocated) { read_and_check({fixture("Base-Allocated.aff4")}, true); }
// The unreadable ranges read as aff4:UnreadableData ("UNREADABLEDATA"
// repeated): that is what the image records, and the copy succeeds.
TEST_F(KxddAff4Reference, BaseLinearReadError) { read_and_check({fixture("Base-Linear-ReadError.aff4")}, true); }

TEST_F(KxddAff4Reference, StripedPairFromEitherPart) {
    read_and_check({fixture("Base-Linear_1.aff4"), fixture("Base-Linear_2.aff4")}, false);
    read_and_check({fixture("Base-Linear_2.aff4"), fixture("Base-Linear_1.aff4")}, false);
}

TEST_F(KxddAff4Reference, StripedPartAloneFails) {
    for (const char* part : {"Base-Linear_1.aff4", "Base-Linear_2.aff4"}) {
        SCOPED_TRACE(part);
        std::string alone = dir.file(part);
        std::filesystem::copy_file(fixture(part), alone, std::filesystem::copy_options::overwrite_existing);
        proc_result r = kxdd_timed({"if=" + alone, "of=" + dir.file("out.raw"), "bs=1M"});
        std::filesystem::remove(alone);
        expect_no_crash(r);
        EXPECT_NE(r.status, 0) << r.err;
        // The library's text says which part is missing.
        EXPECT_TRUE(contains(clean_err(r.err), "error: No such file or directory: ")) << r.err;
        EXPECT_TRUE(contains(clean_err(r.err), "part of the image is missing")) << r.err;
    }
}

// 9 EB, nearly all of it sparse: kxdd reports the size, and reads at its
// start, in its middle file system and at its end come back at once with the
// bytes the map gives; the pieces the map takes from the image stream
// rebuild the stream with its recorded digests.
TEST_F(KxddAff4Reference, ExabyteSparse) {
    const std::string image = fixture("Base-ExabyteSparse.aff4");
    proc_result plan = oracle({"plan", image});
    ASSERT_EQ(plan.status, 0) << plan.out << plan.err;
    std::istringstream lines(plan.out);
    std::string word;
    long long size = -1;
    std::vector<std::pair<unsigned long long, unsigned long long>> pieces;
    while (lines >> word) {
        if (word == "size") lines >> size;
        if (word == "piece") {
            unsigned long long off, n;
            lines >> off >> n;
            pieces.emplace_back(off, n);
        }
    }
    ASSERT_EQ(size, 0x7ffffffffffffe00LL);
    ASSERT_GE(pieces.size(), 3u);
    std::vector<std::string> check = {"check", image, "--"};
    for (size_t i = 0; i < pieces.size(); ++i) {
        const auto& [off, n] = pieces[i];
        SCOPED_TRACE(off);
        std::string out = dir.file("piece" + std::to_string(i));
        const unsigned long long bs = 65536;
        proc_result r = kxdd_timed({"if=" + image, "of=" + out, "bs=64k", "iflag=skip_bytes",
                                    "skip=" + std::to_string(off), "count=" + std::to_string((n + bs - 1) / bs)},
                                   30);
        expect_no_crash(r);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(device_size(r.err), size) << r.err;
        ASSERT_GE(file_size(out), static_cast<long long>(n));
        check.push_back(std::to_string(off) + ":" + out);
    }
    // The README's own words: 1 MiB of 0xFF at the start and before the end.
    EXPECT_EQ(read_file(dir.file("piece0")).substr(0, 1 << 20), std::string(1 << 20, '\xff'));
    EXPECT_EQ(read_file(dir.file("piece1")), std::string(1 << 20, '\xff'));
    proc_result v = oracle(check);
    ASSERT_EQ(v.status, 0) << v.out << v.err;
    EXPECT_TRUE(contains(v.out, " MD5 ")) << v.out;
    EXPECT_FALSE(contains(v.out, "not read")) << v.out;
}

}  // namespace

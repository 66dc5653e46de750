// The AFF4 library against the public reference images (written by another
// implementation, so their recorded digests are the ground truth): each
// image stream's linear digests, each disk image's agreement with its own
// map, the Block Map Hash recomputed from the chunks the library decodes, the
// 9 EB sparse image, and the striped pair.
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aff4_test_util.h"
#include "libaff4/aff4.h"

using namespace aff4_test;

namespace {

const std::string k_dir = KXDD_AFF4_FIXTURES;
const std::string k_ns = std::string(aff4::k_ns);

#define NEED_FIXTURES()                                                                    \
    do {                                                                                   \
        if (!std::filesystem::is_directory(k_dir)) GTEST_SKIP() << k_dir << " is missing"; \
    } while (0)

const char* const k_images[] = {"Base-Linear.aff4",          "Base-Linear-AllHashes.aff4", "Base-Linear-ReadError.aff4",
                                "Base-Allocated.aff4",       "Base-Linear_1.aff4",         "Base-Linear_2.aff4",
                                "Base-ExabyteSparse.aff4"};

// A running digest by its aff4 datatype name (MD5, SHA1, SHA256, SHA512, Blake2b).
struct digest {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    explicit digest(const std::string& name) {
        static const std::map<std::string, const EVP_MD* (*)()> k_md = {
            {"MD5", &EVP_md5},       {"SHA1", &EVP_sha1},       {"SHA256", &EVP_sha256},
            {"SHA512", &EVP_sha512}, {"Blake2b", &EVP_blake2b512}, {"md5", &EVP_md5},
            {"sha1", &EVP_sha1},     {"sha256", &EVP_sha256},   {"sha512", &EVP_sha512},
            {"blake2b", &EVP_blake2b512}};
        auto it = k_md.find(name);
        EXPECT_NE(it, k_md.end()) << name;
        EVP_DigestInit_ex(ctx.get(), it == k_md.end() ? EVP_sha512() : it->second(), nullptr);
    }
    void add(const void* p, size_t n) { EVP_DigestUpdate(ctx.get(), p, n); }
    std::string raw() {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_DigestFinal_ex(ctx.get(), md, &n);
        return std::string(reinterpret_cast<char*>(md), n);
    }
};

std::string hex(const std::string& raw) {
    static const char* k = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += k[c >> 4];
        out += k[c & 15];
    }
    return out;
}

std::string sha512(const std::string& bytes) {
    digest d("SHA512");
    d.add(bytes.data(), bytes.size());
    return d.raw();
}

// The recorded (datatype local name -> hex) aff4:hash values of a subject.
std::map<std::string, std::string> recorded_hashes(const aff4::rdf_graph& g, const std::string& subject,
                                                   const std::string& predicate = "hash") {
    std::map<std::string, std::string> out;
    for (const aff4::rdf_term* t : aff4::rdf_all(g, subject, k_ns + predicate))
        if (t->literal && t->datatype.starts_with(k_ns)) out[t->datatype.substr(k_ns.size())] = t->value;
    return out;
}

std::vector<std::string> subjects_of_type(const aff4::rdf_graph& g, const std::string& type) {
    std::vector<std::string> out;
    for (const aff4::rdf_triple& t : g.triples)
        if (t.predicate == aff4::k_rdf_type && t.object.value == k_ns + type &&
            std::find(out.begin(), out.end(), t.subject) == out.end())
            out.push_back(t.subject);
    return out;
}

// The image streams whose bevies this volume holds.
std::vector<std::string> own_streams(const aff4::volume& v) {
    std::vector<std::string> out;
    for (const std::string& s : subjects_of_type(v.graph, "ImageStream"))
        if (aff4::rdf_first(v.graph, s, k_ns + "chunkSize")) out.push_back(s);
    return out;
}

std::string segment(const aff4::volume& v, const std::string& uri) {
    const aff4::zip_entry* e = aff4::volume_segment(v, uri);
    std::string out;
    EXPECT_NE(e, nullptr) << uri;
    if (e) {
        EXPECT_EQ(aff4::zip_load(v.zip, *e, 1u << 30, out), 0) << aff4::last_error();
    }
    return out;
}

uint64_t le(const std::string& s, size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

TEST(Aff4Reference, ImageStreamsHaveTheirRecordedDigests) {
    NEED_FIXTURES();
    int streams = 0;
    for (const char* name : k_images) {
        SCOPED_TRACE(name);
        aff4::volume v;
        ASSERT_EQ(aff4::volume_open((k_dir + "/" + name).c_str(), v), 0) << aff4::last_error();
        for (const std::string& uri : own_streams(v)) {
            SCOPED_TRACE(uri);
            aff4::image_stream s;
            ASSERT_EQ(aff4::stream_open(v, uri, s), 0) << aff4::last_error();
            std::map<std::string, std::string> want = recorded_hashes(v.graph, uri);
            ASSERT_TRUE(want.count("MD5") && want.count("SHA1"));
            std::map<std::string, digest> running;
            for (const auto& [type, value] : want) running.emplace(type, type);
            std::vector<uint8_t> buf(1u << 20);
            for (uint64_t off = 0; off < s.size; off += buf.size()) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), s.size - off));
                ASSERT_EQ(aff4::stream_read(s, off, buf.data(), n), 0) << aff4::last_error();
                for (auto& [type, d] : running) d.add(buf.data(), n);
            }
            for (auto& [type, d] : running) EXPECT_EQ(hex(d.raw()), want[type]) << type;
            ++streams;
        }
    }
    EXPECT_EQ(streams, 7);
}

// Reads the disk image through the entry points and checks it against the
// container's own map, parsed here: ranges mapped to a stream, gathered at
// their stream offsets, rebuild that stream (whose recorded digests they must
// give); symbolic ranges and gaps read as their streams define.
TEST(Aff4Reference, DiskImagesAgreeWithTheirMaps) {
    NEED_FIXTURES();
    std::string disk;
    for (const char* name : {"Base-Linear.aff4", "Base-Linear-AllHashes.aff4", "Base-Linear-ReadError.aff4",
                             "Base-Allocated.aff4", "Base-Linear_1.aff4", "Base-Linear_2.aff4"}) {
        SCOPED_TRACE(name);
        std::string path = k_dir + "/" + name;
        aff4::volume v;
        ASSERT_EQ(aff4::volume_open(path.c_str(), v), 0) << aff4::last_error();
        std::string image = subjects_of_type(v.graph, "DiskImage").at(0);
        std::string map_uri = aff4::rdf_first(v.graph, image, k_ns + "dataStream")->value;
        std::string map = segment(v, map_uri + "/map"), idx = segment(v, map_uri + "/idx");
        std::vector<std::string> targets;
        for (size_t at = 0, nl; (nl = idx.find('\n', at)) != std::string::npos; at = nl + 1)
            targets.push_back(idx.substr(at, nl - at));

        int h = AFF4_open(path.c_str());
        ASSERT_GE(h, 0) << aff4::last_error();
        uint64_t size = AFF4_object_size(h);
        ASSERT_EQ(size, 256u << 20);
        // One buffer for every image: fresh 256 MiB allocations are slow under the sanitizers.
        disk.resize(size);
        for (uint64_t off = 0; off < size;) {
            int n = AFF4_read(h, off, disk.data() + off, 1 << 20);
            ASSERT_GT(n, 0) << off << ": " << aff4::last_error();
            off += static_cast<uint64_t>(n);
        }
        AFF4_close(h);

        std::map<std::string, std::string> rebuilt;
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (size_t at = 0; at + 28 <= map.size(); at += 28) {
            uint64_t mapped = le(map, at, 8), len = le(map, at + 8, 8), toff = le(map, at + 16, 8);
            const std::string& t = targets.at(le(map, at + 24, 4));
            ranges.emplace_back(mapped, len);
            std::string_view got(disk.data() + mapped, len);
            if (t.starts_with("aff4://")) {
                std::string& s = rebuilt[t];
                if (s.size() < toff + len) s.resize(toff + len);
                s.replace(toff, len, got);
            } else if (t == k_ns + "Zero") {
                ASSERT_EQ(got.find_first_not_of('\0'), std::string::npos) << mapped;
            } else if (t.starts_with(k_ns + "SymbolicStream")) {
                char c = static_cast<char>(std::stoi(t.substr(t.size() - 2), nullptr, 16));
                ASSERT_EQ(got.find_first_not_of(c), std::string::npos) << mapped;
            } else {
                ASSERT_TRUE(t == k_ns + "UnreadableData" || t == k_ns + "UnknownData") << t;
                std::string pattern = t == k_ns + "UnreadableData" ? "UNREADABLEDATA" : "UNKNOWN";
                std::string want(len, '\0');
                for (uint64_t i = 0; i < len; ++i) want[i] = pattern[((toff + i) % (1u << 20)) % pattern.size()];
                ASSERT_TRUE(got == want) << mapped;
            }
        }
        // The gaps read as aff4:Zero, the gap stream of every reference map.
        std::sort(ranges.begin(), ranges.end());
        uint64_t pos = 0;
        ranges.emplace_back(size, 0);
        for (const auto& [at, len] : ranges) {
            ASSERT_LE(pos, at);
            ASSERT_EQ(std::string_view(disk.data() + pos, at - pos).find_first_not_of('\0'), std::string::npos)
                << pos;
            pos = at + len;
        }
        // Each rebuilt stream gives the digests its container records.
        std::string other = path;
        if (other.ends_with("_1.aff4")) other.replace(other.size() - 6, 1, "2");
        else if (other.ends_with("_2.aff4")) other.replace(other.size() - 6, 1, "1");
        aff4::volume v2;
        ASSERT_EQ(aff4::volume_open(other.c_str(), v2), 0);
        for (const auto& [uri, bytes] : rebuilt) {
            SCOPED_TRACE(uri);
            std::map<std::string, std::string> want = recorded_hashes(v.graph, uri);
            if (want.empty()) want = recorded_hashes(v2.graph, uri);
            uint64_t stream_size = 0;
            if (aff4::rdf_uint(v.graph, uri, k_ns + "size", stream_size) != 0) {
                ASSERT_EQ(aff4::rdf_uint(v2.graph, uri, k_ns + "size", stream_size), 0);
            }
            ASSERT_LE(bytes.size(), stream_size);
            std::string whole = bytes + std::string(stream_size - bytes.size(), '\0');
            for (const char* type : {"MD5", "SHA1"}) {
                digest d(type);
                d.add(whole.data(), whole.size());
                EXPECT_EQ(hex(d.raw()), want.at(type)) << type;
            }
        }
        EXPECT_FALSE(rebuilt.empty());
    }
}

// The Block Map Hash: SHA-512 over the SHA-512 of each image stream's block
// hashes (every chunk's digest, concatenated; by algorithm, shortest digest
// first, SHA-512 before BLAKE2b), then the SHA-512 of the map, idx and
// mapPath segments. The block hashes come from the chunks as the library
// decodes them, so one wrong chunk anywhere shows.
TEST(Aff4Reference, BlockMapHashFromTheDecodedChunks) {
    NEED_FIXTURES();
    static const std::vector<std::string> k_order = {"md5", "sha1", "sha256", "sha512", "blake2b"};
    int maps = 0;
    for (const char* name : k_images) {
        SCOPED_TRACE(name);
        aff4::volume v;
        ASSERT_EQ(aff4::volume_open((k_dir + "/" + name).c_str(), v), 0) << aff4::last_error();
        std::string parts;
        for (const std::string& uri : own_streams(v)) {
            aff4::image_stream s;
            ASSERT_EQ(aff4::stream_open(v, uri, s), 0) << aff4::last_error();
            int algorithms = 0;
            for (const std::string& alg : k_order) {
                std::string subject = uri + "/blockhash." + alg;
                if (!aff4::rdf_has_type(v.graph, subject, k_ns + "BlockHashes")) continue;
                SCOPED_TRACE(subject);
                std::string hashes;
                for (uint64_t n = 0; n < s.chunk_count; ++n) {
                    const uint8_t* chunk = nullptr;
                    ASSERT_EQ(aff4::stream_chunk(s, n, &chunk), 0) << aff4::last_error();
                    digest d(alg);
                    d.add(chunk, s.chunk_size);
                    hashes += d.raw();
                }
                std::string h = sha512(hashes);
                EXPECT_EQ(hex(h), recorded_hashes(v.graph, subject).at("SHA512"));
                parts += h;
                ++algorithms;
            }
            EXPECT_GE(algorithms, 2);
        }
        for (const std::string& map_uri : subjects_of_type(v.graph, "Map")) {
            SCOPED_TRACE(map_uri);
            std::string whole = parts;
            for (const char* seg : {"map", "idx", "mapPath"}) {
                std::string h = sha512(segment(v, map_uri + "/" + seg));
                static const std::map<std::string, std::string> k_prop = {
                    {"map", "mapPointHash"}, {"idx", "mapIdxHash"}, {"mapPath", "mapPathHash"}};
                EXPECT_EQ(hex(h), recorded_hashes(v.graph, map_uri, k_prop.at(seg)).at("SHA512")) << seg;
                whole += h;
            }
            std::string bmh = hex(sha512(whole));
            EXPECT_EQ(bmh, recorded_hashes(v.graph, map_uri, "blockMapHash").at("SHA512"));
            // One container, one map: the disk image records the same value.
            if (own_streams(v).size() == subjects_of_type(v.graph, "ImageStream").size()) {
                std::string image = subjects_of_type(v.graph, "DiskImage").at(0);
                EXPECT_EQ(bmh, recorded_hashes(v.graph, image).at("blockMapHashSHA512"));
            }
            ++maps;
        }
    }
    EXPECT_EQ(maps, 7);
}

TEST(Aff4Reference, ExabyteSparseReadsAtItsStartMiddleAndEnd) {
    NEED_FIXTURES();
    std::string path = k_dir + "/Base-ExabyteSparse.aff4";
    int h = AFF4_open(path.c_str());
    ASSERT_GE(h, 0) << aff4::last_error();
    const uint64_t size = AFF4_object_size(h);
    ASSERT_EQ(size, 0x7ffffffffffffe00u);
    const uint64_t mib = 1u << 20;
    int err = 0;
    // 1 MiB of 0xFF at 0, then zeros.
    std::string start = read_all(h, 0, mib + 4096, 1 << 20, &err);
    ASSERT_EQ(start.size(), mib + 4096);
    EXPECT_EQ(start.find_first_not_of('\xff'), mib);
    EXPECT_EQ(start.find_first_not_of('\0', mib), std::string::npos);
    // The file system in the middle: the map's ranges there read the image
    // stream's bytes at their offsets, a boot sector first.
    aff4::volume v;
    ASSERT_EQ(aff4::volume_open(path.c_str(), v), 0);
    std::string stream_uri = own_streams(v).at(0);
    aff4::image_stream s;
    ASSERT_EQ(aff4::stream_open(v, stream_uri, s), 0);
    const uint64_t middle = 0x3fffffffffffff00u;
    std::string mid = read_all(h, middle, 0x20000, 1 << 20, &err);
    ASSERT_EQ(mid.size(), 0x20000u) << aff4::last_error();
    std::string from_stream(0x20000, '\0');
    ASSERT_EQ(aff4::stream_read(s, 0x20000, reinterpret_cast<uint8_t*>(from_stream.data()), 0x20000), 0);
    EXPECT_TRUE(mid == from_stream);
    EXPECT_EQ(mid.substr(0x1fe, 2), "\x55\xaa");
    EXPECT_NE(mid.find_first_not_of('\0'), std::string::npos);
    // 1 MiB of 0xFF at 0x7fffffffffeffe00, the end; zeros before it.
    std::string end = read_all(h, size - mib - 4096, mib + 4096 + 100, 1 << 20, &err);
    ASSERT_EQ(end.size(), mib + 4096);
    EXPECT_EQ(end.find_first_not_of('\0'), 4096u);
    EXPECT_EQ(end.find_first_not_of('\xff', 4096), std::string::npos);
    EXPECT_EQ(size - mib, 0x7fffffffffeffe00u);
    char b;
    EXPECT_EQ(AFF4_read(h, size, &b, 1), 0);
    AFF4_close(h);
}

std::string copy_file(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    return to;
}

std::string disk_digest(const std::string& path, int* err) {
    int h = AFF4_open(path.c_str());
    if (h < 0) {
        *err = errno;
        return "";
    }
    digest d("SHA1");
    uint64_t size = AFF4_object_size(h);
    std::string buf(1u << 20, '\0');
    for (uint64_t off = 0; off < size;) {
        int n = AFF4_read(h, off, buf.data(), static_cast<int>(buf.size()));
        if (n <= 0) {
            *err = n < 0 ? errno : EIO;
            AFF4_close(h);
            return "";
        }
        d.add(buf.data(), static_cast<size_t>(n));
        off += static_cast<uint64_t>(n);
    }
    AFF4_close(h);
    *err = 0;
    return hex(d.raw());
}

TEST(Aff4Reference, StripedPairOpensFromEitherPartAndNamesAMissingOne) {
    NEED_FIXTURES();
    int err = 0;
    std::string linear = disk_digest(k_dir + "/Base-Linear.aff4", &err);
    ASSERT_EQ(err, 0);
    // Found by volume URI, not by file name.
    temp_dir dir;
    std::string a = copy_file(k_dir + "/Base-Linear_1.aff4", dir.path + "/first.aff4");
    std::string b = copy_file(k_dir + "/Base-Linear_2.aff4", dir.path + "/second.AFF4");
    for (const std::string& p : {k_dir + "/Base-Linear_1.aff4", k_dir + "/Base-Linear_2.aff4", a, b}) {
        SCOPED_TRACE(p);
        EXPECT_EQ(disk_digest(p, &err), linear);
        EXPECT_EQ(err, 0) << aff4::last_error();
    }
    // Each part alone fails, naming the image stream and volume it misses.
    struct alone {
        std::string from, missing_stream, missing_volume;
    };
    for (const alone& c : {alone{"Base-Linear_1.aff4", "aff4://3bf0bd14-1ef9-4185-8b0a-2c7d511b4d30",
                                 "aff4://51725cd9-3769-4be7-a8ab-94e3ea62bf9a"},
                           alone{"Base-Linear_2.aff4", "aff4://a04a9189-5e92-4024-a577-37d6cfa72594",
                                 "aff4://7cbb47d0-b04c-42bc-8c04-87b7782739ad"}}) {
        SCOPED_TRACE(c.from);
        temp_dir one;
        std::string p = copy_file(k_dir + "/" + c.from, one.path + "/" + c.from);
        errno = 0;
        EXPECT_LT(AFF4_open(p.c_str()), 0);
        EXPECT_EQ(errno, ENOENT);
        std::string why = aff4::last_error();
        EXPECT_NE(why.find(c.missing_stream), std::string::npos) << why;
        EXPECT_NE(why.find(c.missing_volume), std::string::npos) << why;
        // Another AFF4 file beside it that is not the part changes nothing.
        copy_file(k_dir + "/Base-Linear.aff4", one.path + "/Base-Linear.aff4");
        errno = 0;
        EXPECT_LT(AFF4_open(p.c_str()), 0);
        EXPECT_EQ(errno, ENOENT);
    }
}

}  // namespace

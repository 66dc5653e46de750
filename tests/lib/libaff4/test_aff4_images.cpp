// The AFF4 library on small images made here: each chunk codec, several
// bevies, a short last chunk, maps with gaps and symbolic streams, zip64 and
// deflated metadata; the handle table under threads; the shared library's
// exports.
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "aff4_builder.h"
#include "aff4_test_util.h"
#include "libaff4/aff4.h"

using namespace aff4_test;

namespace {

// The bytes of a repeated-string stream at off: 1 MiB chunks, each the
// string from its start, cut at the chunk's end.
std::string repeated(const std::string& pattern, uint64_t off, uint64_t len) {
    std::string out;
    for (uint64_t i = 0; i < len; ++i) {
        uint64_t in_chunk = (off + i) % (1u << 20);
        out += pattern[in_chunk % pattern.size()];
    }
    return out;
}

std::string symbolic(const std::string& iri, uint64_t off, uint64_t len) {
    std::string name = iri.substr(strlen(k_ns));
    if (name == "Zero") return std::string(len, '\0');
    if (name == "UnknownData") return repeated("UNKNOWN", off, len);
    if (name == "UnreadableData") return repeated("UNREADABLEDATA", off, len);
    return std::string(len, static_cast<char>(std::stoi(name.substr(14), nullptr, 16)));
}

// What the disk image of a recipe reads, from the recipe alone.
std::string expected_disk(const image_recipe& s) {
    if (!s.use_map) return s.data;
    std::string gap = s.gap.empty() ? std::string(k_ns) + "Zero" : s.gap;
    std::string out = symbolic(gap, 0, s.map_size);
    for (const map_row& r : s.rows) {
        const std::string& t = s.idx[r.target];
        std::string bytes = t == k_stream ? s.data.substr(r.target_offset, r.length)
                                          : symbolic(t, r.target_offset, r.length);
        out.replace(r.mapped, r.length, bytes);
    }
    return out;
}

// A map over 3 MiB: stream ranges out of order, a gap, each kind of symbolic
// stream, a repeated-string range across a 1 MiB boundary.
image_recipe mapped_recipe(const std::string& method) {
    image_recipe s;
    s.method = method;
    s.data = disk_bytes(4096 * 9 + 700, 11);
    s.map_size = 3u << 20;
    std::string ns = k_ns;
    s.idx = {k_stream, ns + "Zero", ns + "SymbolicStreamFF", ns + "UnknownData", ns + "UnreadableData",
             ns + "SymbolicStream61"};
    s.rows = {
        {0, 8192, 20000, 0},                      // a later part of the stream first
        {8192, 4096, 0, 1},
        {20000, 5000, 20000, 2},
        {(1u << 20) - 100, 300, (1u << 20) - 100, 3},
        {(2u << 20) + 5, 20000, 0, 0},
        {(2u << 20) + 40000, 10000, 123, 4},
        {(3u << 20) - 777, 777, 4096 * 9 + 700 - 777, 0},  // the stream's last bytes end the disk
        {30000, 512, 0, 5},
    };
    return s;
}

struct good_case {
    const char* name;
    image_recipe recipe;
};

std::vector<good_case> good_cases() {
    std::vector<good_case> out;
    for (const char* m : {"snappy", "lz4", "deflate", "zlib", "stored"}) {
        image_recipe s;
        s.method = m;
        s.use_map = false;
        s.data = disk_bytes(4096 * 10 + 1000, 3);  // 11 chunks in 3 bevies, the last short
        out.push_back({m, s});
        out.push_back({m, mapped_recipe(m)});
    }
    image_recipe z = mapped_recipe("snappy");
    z.zip64 = true;
    z.deflate_metadata = true;
    out.push_back({"zip64 and deflated metadata", z});
    image_recipe g = mapped_recipe("lz4");
    g.gap = std::string(k_ns) + "UnknownData";
    out.push_back({"UnknownData fills the gaps", g});
    image_recipe one = mapped_recipe("snappy");
    one.per_bevy = 1;
    out.push_back({"one chunk a bevy", one});
    // What other writers leave out or pack differently.
    for (uint32_t per_bevy : {1u, 4u}) {
        image_recipe n = mapped_recipe("lz4");
        n.per_bevy = per_bevy;
        n.say_chunks_in_segment = false;
        out.push_back({per_bevy == 1 ? "no chunksInSegment, one chunk a bevy" : "no chunksInSegment", n});
    }
    for (const char* m : {"stored", "snappy"}) {
        image_recipe d = mapped_recipe(m);
        d.deflate_bevies = true;
        out.push_back({m == std::string("stored") ? "stored chunks in deflated bevies"
                                                  : "snappy chunks in deflated bevies",
                       d});
    }
    return out;
}

TEST(Aff4Images, ReadAsTheirMetadataSays) {
    temp_dir dir;
    for (good_case& c : good_cases()) {
        SCOPED_TRACE(std::string(c.name) + (c.recipe.use_map ? " (map)" : " (image stream)"));
        c.recipe.build();
        std::string path = dir.file("good.aff4", c.recipe.write());
        std::string want = expected_disk(c.recipe);
        int h = AFF4_open(path.c_str());
        EXPECT_GE(h, 0) << aff4::last_error();
        if (h < 0) continue;
        EXPECT_EQ(AFF4_object_size(h), want.size());
        int err = 0;
        // In odd pieces that cross chunks, bevies and map entries.
        std::string got = read_all(h, 0, want.size() + 100, 7777, &err);
        EXPECT_EQ(err, 0) << aff4::last_error();
        EXPECT_TRUE(got == want) << "the image's bytes differ";
        // Reads anywhere, backwards, so no order of chunks is assumed.
        for (uint64_t off = want.size(); off > 0;) {
            off = off > 4999 ? off - 4999 : 0;
            uint64_t n = std::min<uint64_t>(3001, want.size() - off);
            if (read_all(h, off, n, 3001, &err) != want.substr(off, n)) {
                ADD_FAILURE() << "the bytes at " << off << " differ: " << aff4::last_error();
                break;
            }
        }
        char b = 0;
        EXPECT_EQ(AFF4_read(h, want.size(), &b, 1), 0);
        EXPECT_EQ(AFF4_read(h, UINT64_MAX, &b, 1), 0);
        EXPECT_EQ(AFF4_close(h), 0);
    }
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

void replace_one(std::string& s, const std::string& from, const std::string& to) {
    size_t at = s.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    s.replace(at, from.size(), to);
}

// More statements about the image, before the end of its description.
void add_to_image(std::string& turtle, const std::string& more) {
    replace_one(turtle, "aff4:stored : .\n\n<", "aff4:stored : ;\n" + more + " .\n\n<");
}

struct turtle_case {
    const char* name;
    std::function<void(std::string&)> rewrite;
    std::string notes;  // the aff4:caseNotes of the image once read ("" none)
};

// information.turtle as other writers put it: each form of the Turtle
// grammar on the builder's document, which must still read as before.
TEST(Aff4Images, TurtleInEveryFormOfTheGrammar) {
    const std::string img = k_image, map = k_map, stream = k_stream, vol = k_volume;
    const std::vector<turtle_case> cases = {
        {"@base and relative IRIs",
         [&](std::string& t) {
             for (const std::string& u : {vol, img, map, stream}) replace_all(t, "<" + u + ">", "<" + u.substr(5) + ">");
             replace_all(t, "aff4:stored :", "aff4:stored <>");
             t = "@base <" + vol + "> .\n" + t;
         }},
        {"BASE and PREFIX",
         [&](std::string& t) {
             replace_one(t, "@prefix aff4:  <http://aff4.org/Schema#> .", "PREFIX aff4: <http://aff4.org/Schema#>");
             replace_one(t, "\n<" + stream + ">\n    a aff4:ImageStream", "\nBASE <" + stream + ">\n<>\n    a aff4:ImageStream");
         }},
        {"\\u and \\U escapes",
         [&](std::string& t) {
             replace_all(t, "<" + stream + ">", "<" + stream.substr(0, stream.size() - 1) + "\\u0034>");
             add_to_image(t, "    aff4:caseNotes \"Caf\\u00E9 \\U0001F600\\t\\\"x\\\"\"");
         },
         "Caf\xC3\xA9 \xF0\x9F\x98\x80\t\"x\""},
        {"single-quoted and long literals",
         [&](std::string& t) {
             replace_all(t, "\"4096\"^^xsd:int", "'4096'^^xsd:int");
             const std::string stream_size = std::to_string(4096 * 9 + 700), map_size = std::to_string(3u << 20);
             replace_one(t, "aff4:size \"" + stream_size + "\"", "aff4:size '''" + stream_size + "'''");
             replace_one(t, "aff4:size \"" + map_size + "\"", "aff4:size \"\"\"" + map_size + "\"\"\"");
             add_to_image(t, "    aff4:caseNotes '''two\nlines, with ' and \" in them'''");
         },
         "two\nlines, with ' and \" in them"},
        {"blank nodes",
         [&](std::string& t) {
             add_to_image(t, "    aff4:hash [ a aff4:SHA1 ; aff4:value \"00\" ] , _:h2 , [] ;\n    aff4:caseNotes \"n\"");
             t += "_:h2 aff4:value \"11\" .\n[ aff4:note \"about nothing\" ] .\n[] aff4:note [ aff4:note [] ] .\n";
         },
         "n"},
        {"collections",
         [&](std::string& t) {
             add_to_image(t, "    aff4:tags ( \"a\" 'b' 1 ( 2.5 [ aff4:x () ] ) ) , ()");
             t += "( <" + img + "> ) aff4:note \"a list as subject\" .\n";
         }},
        {"booleans, decimals and doubles",
         [&](std::string& t) {
             add_to_image(t, "    aff4:verified true , false ; aff4:ratio 0.5 , -.5 , +1.25 ; aff4:scale 1.0e3 , 4E-2 , .5e+1");
             replace_one(t, "aff4:chunkSize \"4096\"^^xsd:int", "aff4:chunkSize 4096");
         }},
        {"unknown predicates, comments and escaped local names",
         [&](std::string& t) {
             // Brackets in comments, IRIs and strings nest nothing.
             const std::string many(40, '('), square(40, '[');
             t = "# written elsewhere " + many + "\n@prefix ex: <http://example.com/ns" + many + "#> . # a comment\n" + t;
             add_to_image(t, "    ex:brackets \"" + square + "\" , '" + many + "' , '''" + square + "''' ;\n"
                             "    ex:a\\-b\\.c ex:d%41 ;\n"
                             "    ex:when \"2024-01-01T00:00:00Z\"^^<http://www.w3.org/2001/XMLSchema#dateTime> ;\n"
                             "    ex:label \"disque\"@fr-CA ;;");
         }},
    };
    temp_dir dir;
    for (const turtle_case& c : cases) {
        SCOPED_TRACE(c.name);
        image_recipe s = mapped_recipe("snappy");
        s.build();
        c.rewrite(s.turtle);
        if (::testing::Test::HasFatalFailure()) return;
        std::string path = dir.file("t.aff4", s.write());
        int h = AFF4_open(path.c_str());
        EXPECT_GE(h, 0) << aff4::last_error() << "\n" << s.turtle;
        if (h < 0) continue;
        std::string want = expected_disk(s);
        int err = 0;
        EXPECT_TRUE(read_all(h, 0, want.size(), 1u << 20, &err) == want) << "the image's bytes differ";
        EXPECT_EQ(err, 0) << aff4::last_error();
        AFF4_close(h);
        aff4::volume v;
        ASSERT_EQ(aff4::volume_open(path.c_str(), v), 0) << aff4::last_error();
        const aff4::rdf_term* notes = aff4::rdf_first(v.graph, img, std::string(k_ns) + "caseNotes");
        EXPECT_EQ(notes ? notes->value : "", c.notes);
    }
}

TEST(Aff4Images, HandlesAreSmallNumbersAndReadsRunInParallel) {
    temp_dir dir;
    image_recipe a = mapped_recipe("snappy"), b = mapped_recipe("lz4");
    b.data = disk_bytes(b.data.size(), 99);
    a.build();
    b.build();
    std::string pa = dir.file("a.aff4", a.write()), pb = dir.file("b.aff4", b.write());
    const std::string want[2] = {expected_disk(a), expected_disk(b)};
    std::vector<int> handles;
    for (int i = 0; i < 40; ++i) {
        int h = AFF4_open((i % 2 ? pb : pa).c_str());
        ASSERT_GE(h, 0) << aff4::last_error();
        ASSERT_LT(h, 4096);
        handles.push_back(h);
    }
    EXPECT_EQ(std::set<int>(handles.begin(), handles.end()).size(), handles.size());
    // Four threads over every handle, two of them sharing handles.
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < handles.size(); ++i) {
                int err = 0;
                uint64_t off = (t * 100003 + i * 7919) % want[i % 2].size();
                uint64_t n = std::min<uint64_t>(65536, want[i % 2].size() - off);
                if (read_all(handles[i], off, n, 5000, &err) != want[i % 2].substr(off, n)) ++bad;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
    for (int h : handles) EXPECT_EQ(AFF4_close(h), 0);
    // A closed handle is gone; a new open takes a free number again.
    char byte;
    errno = 0;
    EXPECT_LT(AFF4_read(handles[0], 0, &byte, 1), 0);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_LT(AFF4_close(handles[0]), 0);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(AFF4_object_size(-1), 0u);
    EXPECT_EQ(errno, EBADF);
    int h = AFF4_open(pa.c_str());
    EXPECT_GE(h, 0);
    EXPECT_LT(h, 40);
    errno = 0;
    EXPECT_LT(AFF4_read(h, 0, nullptr, 10), 0);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_LT(AFF4_read(h, 0, &byte, -1), 0);
    EXPECT_EQ(errno, EINVAL);
    AFF4_close(h);
}

// The library as the driver loads it: only the six entry points and the
// optional failure text, and they work.
TEST(Aff4Images, SharedLibraryExportsTheSixEntryPoints) {
    void* dl = dlopen(KXDD_AFF4_LIB, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(dl, nullptr) << dlerror();
    for (const char* name :
         {"AFF4_version", "AFF4_init", "AFF4_open", "AFF4_object_size", "AFF4_read", "AFF4_close", "AFF4_last_error"})
        EXPECT_NE(dlsym(dl, name), nullptr) << name;
    std::string nm = std::string("nm -D --defined-only '") + KXDD_AFF4_LIB + "' | awk '$2 ~ /[TtWwDdBbRrVvu]/ {print $3}'";
    FILE* p = popen(nm.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (!s.empty() && s.find('@') == std::string::npos) names.insert(s);
    }
    pclose(p);
    EXPECT_EQ(names, (std::set<std::string>{"AFF4_version", "AFF4_init", "AFF4_open", "AFF4_object_size",
                                            "AFF4_read", "AFF4_close", "AFF4_last_error"}));
    temp_dir dir;
    image_recipe s = mapped_recipe("deflate");
    s.build();
    std::string path = dir.file("x.aff4", s.write());
    auto init = reinterpret_cast<aff4_init_fn>(dlsym(dl, "AFF4_init"));
    auto open = reinterpret_cast<aff4_open_fn>(dlsym(dl, "AFF4_open"));
    auto size = reinterpret_cast<aff4_object_size_fn>(dlsym(dl, "AFF4_object_size"));
    auto read = reinterpret_cast<aff4_read_fn>(dlsym(dl, "AFF4_read"));
    auto close = reinterpret_cast<aff4_close_fn>(dlsym(dl, "AFF4_close"));
    init();
    int h = open(path.c_str());
    ASSERT_GE(h, 0);
    std::string want = expected_disk(s);
    ASSERT_EQ(size(h), want.size());
    std::string got(want.size(), '\0');
    ASSERT_EQ(read(h, 0, got.data(), static_cast<int>(got.size())), static_cast<int>(want.size()));
    EXPECT_TRUE(got == want);
    errno = 0;
    EXPECT_LT(open((dir.path + "/none.aff4").c_str()), 0);
    EXPECT_EQ(errno, ENOENT);
    auto last_error = reinterpret_cast<aff4_last_error_fn>(dlsym(dl, "AFF4_last_error"));
    EXPECT_NE(std::string(last_error()).find("none.aff4"), std::string::npos) << last_error();
    close(h);
    dlclose(dl);
}

}  // namespace

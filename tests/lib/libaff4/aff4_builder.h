// Small AFF4 images for the tests: a zip writer (stored or deflated entries,
// zip64 records on demand) and a builder of one disk image over one image
// stream, with every part open to damage before the container is written.
#pragma once

#include <lz4.h>
#include <snappy-c.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace aff4_test {

inline void put16(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>(v >> 8 & 0xff);
}
inline void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xffff);
    put16(s, v >> 16);
}
inline void put64(std::string& s, uint64_t v) {
    put32(s, static_cast<uint32_t>(v));
    put32(s, static_cast<uint32_t>(v >> 32));
}

inline std::string raw_deflate(const std::string& in, int window_bits) {
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, in.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

struct zip_member {
    std::string name;
    std::string data;
    bool deflate = false;
};

// A zip file of the members; zip64 puts every size and offset in zip64
// fields and adds the zip64 end records.
inline std::string make_zip(const std::vector<zip_member>& members, const std::string& comment, bool zip64) {
    std::string out, central;
    for (const zip_member& m : members) {
        std::string body = m.deflate ? raw_deflate(m.data, -MAX_WBITS) : m.data;
        uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(m.data.data()),
                                                   static_cast<uInt>(m.data.size())));
        uint64_t at = out.size();
        std::string extra;
        if (zip64) {
            put16(extra, 1);
            put16(extra, 16);
            put64(extra, m.data.size());
            put64(extra, body.size());
        }
        put32(out, 0x04034b50);
        put16(out, zip64 ? 45 : 20);
        put16(out, 0);
        put16(out, m.deflate ? 8 : 0);
        put32(out, 0);
        put32(out, crc);
        put32(out, zip64 ? 0xffffffff : static_cast<uint32_t>(body.size()));
        put32(out, zip64 ? 0xffffffff : static_cast<uint32_t>(m.data.size()));
        put16(out, static_cast<uint32_t>(m.name.size()));
        put16(out, static_cast<uint32_t>(extra.size()));
        out += m.name + extra + body;
        std::string cextra;
        if (zip64) {
            put16(cextra, 1);
            put16(cextra, 24);
            put64(cextra, m.data.size());
            put64(cextra, body.size());
            put64(cextra, at);
        }
        put32(central, 0x02014b50);
        put16(central, 45);
        put16(central, zip64 ? 45 : 20);
        put16(central, 0);
        put16(central, m.deflate ? 8 : 0);
        put32(central, 0);
        put32(central, crc);
        put32(central, zip64 ? 0xffffffff : static_cast<uint32_t>(body.size()));
        put32(central, zip64 ? 0xffffffff : static_cast<uint32_t>(m.data.size()));
        put16(central, static_cast<uint32_t>(m.name.size()));
        put16(central, static_cast<uint32_t>(cextra.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, zip64 ? 0xffffffff : static_cast<uint32_t>(at));
        central += m.name + cextra;
    }
    uint64_t cd_at = out.size();
    out += central;
    if (zip64) {
        uint64_t end64_at = out.size();
        put32(out, 0x06064b50);
        put64(out, 44);
        put16(out, 45);
        put16(out, 45);
        put32(out, 0);
        put32(out, 0);
        put64(out, members.size());
        put64(out, members.size());
        put64(out, central.size());
        put64(out, cd_at);
        put32(out, 0x07064b50);
        put32(out, 0);
        put64(out, end64_at);
        put32(out, 1);
    }
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, zip64 ? 0xffff : static_cast<uint32_t>(members.size()));
    put16(out, zip64 ? 0xffff : static_cast<uint32_t>(members.size()));
    put32(out, zip64 ? 0xffffffff : static_cast<uint32_t>(central.size()));
    put32(out, zip64 ? 0xffffffff : static_cast<uint32_t>(cd_at));
    put16(out, static_cast<uint32_t>(comment.size()));
    out += comment;
    return out;
}

inline std::string escaped(const std::string& uri) {
    std::string out;
    for (char c : uri) {
        if (c == ':') out += "%3A";
        else if (c == '/') out += "%2F";
        else out += c;
    }
    return out;
}

constexpr const char* k_volume = "aff4://00000000-0000-4000-8000-000000000001";
constexpr const char* k_image = "aff4://00000000-0000-4000-8000-000000000002";
constexpr const char* k_map = "aff4://00000000-0000-4000-8000-000000000003";
constexpr const char* k_stream = "aff4://00000000-0000-4000-8000-000000000004";
constexpr const char* k_ns = "http://aff4.org/Schema#";

struct map_row {
    uint64_t mapped, length, target_offset;
    uint32_t target;
};

// One disk image: its map (or none: the image stream is the data stream)
// over one image stream. Every field may be changed before build().
struct image_recipe {
    std::string data;                       // the image stream's bytes
    std::string method = "snappy";          // snappy, lz4, deflate, zlib, stored
    uint32_t chunk_size = 4096;
    uint32_t per_bevy = 4;
    bool use_map = true;
    uint64_t map_size = 0;
    std::vector<map_row> rows;
    std::vector<std::string> idx;           // target URIs by id
    std::string gap;                        // mapGapDefaultStream ("" none)
    bool zip64 = false;
    bool deflate_metadata = false;          // the turtle, map and idx as deflated zip entries
    bool deflate_bevies = false;            // the chunk data as deflated zip entries
    bool say_chunks_in_segment = true;      // aff4:chunksInSegment in the turtle
    // Filled by build(), changed by the tests before write():
    std::vector<zip_member> members;
    std::string turtle;
    std::string comment = std::string(k_volume) + std::string(1, '\0');

    std::string compress(const std::string& chunk) const {
        std::string out;
        if (method == "snappy") {
            size_t n = snappy_max_compressed_length(chunk.size());
            out.resize(n);
            snappy_compress(chunk.data(), chunk.size(), out.data(), &n);
            out.resize(n);
        } else if (method == "lz4") {
            out.resize(static_cast<size_t>(LZ4_compressBound(static_cast<int>(chunk.size()))));
            int n = LZ4_compress_default(chunk.data(), out.data(), static_cast<int>(chunk.size()),
                                         static_cast<int>(out.size()));
            out.resize(static_cast<size_t>(n));
        } else if (method == "deflate") {
            out = raw_deflate(chunk, -MAX_WBITS);
        } else if (method == "zlib") {
            out = raw_deflate(chunk, MAX_WBITS);
        } else {
            out = chunk;
        }
        return out.size() + 16 < chunk_size ? out : chunk;
    }

    std::string method_iri() const {
        if (method == "snappy") return "http://code.google.com/p/snappy/";
        if (method == "lz4") return "https://code.google.com/p/lz4/";
        if (method == "deflate" || method == "zlib") return "https://tools.ietf.org/html/rfc1951";
        return "";
    }

    // The members and the turtle of the image as the fields say.
    void build() {
        members.clear();
        members.push_back({"container.description", k_volume});
        members.push_back({"version.txt", "major=1\nminor=0\ntool=kxdd tests\n"});
        size_t chunks = (data.size() + chunk_size - 1) / chunk_size;
        for (size_t b = 0; b * per_bevy < chunks; ++b) {
            std::string bevy, index;
            for (size_t c = b * per_bevy; c < std::min<size_t>(chunks, (b + 1) * per_bevy); ++c) {
                std::string chunk = data.substr(c * chunk_size, chunk_size);
                chunk.resize(chunk_size, '\0');
                std::string z = compress(chunk);
                put64(index, bevy.size());
                put32(index, static_cast<uint32_t>(z.size()));
                bevy += z;
            }
            char num[16];
            snprintf(num, sizeof num, "/%08zu", b);
            members.push_back({escaped(k_stream) + num, bevy, deflate_bevies});
            members.push_back({escaped(k_stream) + num + ".index", index});
        }
        std::string t = "@prefix :      <" + std::string(k_volume) + "> .\n"
                        "@prefix rdf:   <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
                        "@prefix xsd:   <http://www.w3.org/2001/XMLSchema#> .\n"
                        "@prefix aff4:  <http://aff4.org/Schema#> .\n\n";
        uint64_t disk_size = use_map ? map_size : data.size();
        t += "<" + std::string(k_image) + ">\n    a aff4:ContiguousImage , aff4:DiskImage , aff4:Image ;\n"
             "    aff4:dataStream <" + (use_map ? k_map : k_stream) + "> ;\n"
             "    aff4:size \"" + std::to_string(disk_size) + "\"^^xsd:long ;\n    aff4:stored : .\n\n";
        if (use_map) {
            std::string map, idxs;
            for (const map_row& r : rows) {
                put64(map, r.mapped);
                put64(map, r.length);
                put64(map, r.target_offset);
                put32(map, r.target);
            }
            for (const std::string& u : idx) idxs += u + "\n";
            members.push_back({escaped(k_map) + "/map", map, deflate_metadata});
            members.push_back({escaped(k_map) + "/idx", idxs, deflate_metadata});
            t += "<" + std::string(k_map) + ">\n    a aff4:Map ;\n    aff4:dependentStream <" + k_stream + "> ;\n";
            if (!gap.empty()) t += "    aff4:mapGapDefaultStream <" + gap + "> ;\n";
            t += "    aff4:size \"" + std::to_string(map_size) + "\"^^xsd:long ;\n    aff4:stored : ;\n"
                 "    aff4:target <" + k_image + "> .\n\n";
        }
        t += "<" + std::string(k_stream) + ">\n    a aff4:ImageStream ;\n"
             "    aff4:chunkSize \"" + std::to_string(chunk_size) + "\"^^xsd:int ;\n";
        if (say_chunks_in_segment)
            t += "    aff4:chunksInSegment \"" + std::to_string(per_bevy) + "\"^^xsd:int ;\n";
        if (!method_iri().empty()) t += "    aff4:compressionMethod <" + method_iri() + "> ;\n";
        t += "    aff4:size \"" + std::to_string(data.size()) + "\"^^xsd:long ;\n    aff4:stored : .\n";
        turtle = t;
    }

    std::string write() const {
        std::vector<zip_member> all = members;
        all.push_back({"information.turtle", turtle, deflate_metadata});
        return make_zip(all, comment, zip64);
    }

    zip_member* member(const std::string& suffix) {
        for (zip_member& m : members)
            if (m.name.size() >= suffix.size() && m.name.compare(m.name.size() - suffix.size(), suffix.size(), suffix) == 0)
                return &m;
        return nullptr;
    }
};

// Bytes with runs (compressible) and noise (not).
inline std::string disk_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s;
    while (s.size() < n) {
        if (gen() % 2) s += std::string(gen() % 5000, static_cast<char>(gen()));
        else
            for (uint32_t i = gen() % 5000; i > 0; --i) s += static_cast<char>(gen());
    }
    s.resize(n);
    return s;
}

}  // namespace aff4_test

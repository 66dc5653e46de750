// Chunk decoders: snappy, lz4 (block), deflate (raw, or zlib-wrapped), stored.
#include <lz4.h>
#include <snappy-c.h>
#include <zlib.h>

#include <cerrno>
#include <climits>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

struct codec_name {
    std::string_view iri;
    codec c;
};

constexpr codec_name k_codecs[] = {
    {"http://code.google.com/p/snappy/", codec::snappy},
    {"https://code.google.com/p/snappy/", codec::snappy},
    {"https://code.google.com/p/lz4/", codec::lz4},
    {"http://code.google.com/p/lz4/", codec::lz4},
    {"https://tools.ietf.org/html/rfc1951", codec::deflate},
    {"http://tools.ietf.org/html/rfc1951", codec::deflate},
    {"https://www.ietf.org/rfc/rfc1950.txt", codec::zlib},
    {"http://www.ietf.org/rfc/rfc1950.txt", codec::zlib},
    {"https://tools.ietf.org/html/rfc1950", codec::zlib},
    {"http://tools.ietf.org/html/rfc1950", codec::zlib},
    {"http://www.zlib.net/", codec::zlib},
    {"https://www.zlib.net/", codec::zlib},
    {"http://aff4.org/Schema#NullCompressor", codec::stored},
    {"https://aff4.org/Schema#NullCompressor", codec::stored},
};

int64_t inflate_chunk(const uint8_t* in, size_t in_len, uint8_t* out, size_t cap, int window_bits) {
    z_stream zs{};
    if (inflateInit2(&zs, window_bits) != Z_OK) return -ENOMEM;
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = static_cast<uInt>(in_len);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(cap);
    int rc = inflate(&zs, Z_FINISH);
    int64_t got = static_cast<int64_t>(zs.total_out);
    inflateEnd(&zs);
    return rc == Z_STREAM_END ? got : -EIO;
}

}  // namespace

int codec_from_iri(std::string_view iri, codec& c) {
    for (const codec_name& n : k_codecs) {
        if (n.iri == iri) {
            c = n.c;
            return 0;
        }
    }
    return fail(ENOTSUP, "compression method <%.*s> is not supported", static_cast<int>(iri.size()), iri.data());
}

int64_t codec_decode(codec c, const uint8_t* in, size_t in_len, uint8_t* out, size_t cap) {
    if (in_len > INT_MAX || cap > INT_MAX) return -EIO;
    switch (c) {
    case codec::stored:
        return -EIO;  // a stored chunk is exactly the chunk size: the caller copies it
    case codec::snappy: {
        size_t n = 0;
        if (snappy_uncompressed_length(reinterpret_cast<const char*>(in), in_len, &n) != SNAPPY_OK || n > cap)
            return -EIO;
        if (snappy_uncompress(reinterpret_cast<const char*>(in), in_len, reinterpret_cast<char*>(out), &n) !=
            SNAPPY_OK)
            return -EIO;
        return static_cast<int64_t>(n);
    }
    case codec::lz4: {
        int n = LZ4_decompress_safe(reinterpret_cast<const char*>(in), reinterpret_cast<char*>(out),
                                    static_cast<int>(in_len), static_cast<int>(cap));
        return n < 0 ? -EIO : n;
    }
    case codec::deflate: {
        int64_t n = inflate_chunk(in, in_len, out, cap, -MAX_WBITS);
        // Some writers wrap their deflate chunks in a zlib header.
        return n >= 0 ? n : inflate_chunk(in, in_len, out, cap, MAX_WBITS);
    }
    case codec::zlib:
        return inflate_chunk(in, in_len, out, cap, MAX_WBITS);
    }
    return -EIO;
}

}  // namespace aff4

// The zip container: end of central directory (zip64 too), the central
// directory, local headers; reads of stored entries, and whole reads of
// stored or deflated ones checked against their CRC-32.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

constexpr uint32_t k_sig_local = 0x04034b50;
constexpr uint32_t k_sig_central = 0x02014b50;
constexpr uint32_t k_sig_end = 0x06054b50;
constexpr uint32_t k_sig_end64 = 0x06064b50;
constexpr uint32_t k_sig_locator64 = 0x07064b50;
constexpr size_t k_end_size = 22;
constexpr size_t k_locator_size = 20;
constexpr size_t k_end64_size = 56;
constexpr size_t k_central_size = 46;
constexpr size_t k_local_size = 30;
constexpr uint64_t k_max_central = 256u << 20;  // central directory bytes read at most

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

// Reads exactly len bytes at off of the file.
int read_at(const zip_archive& z, uint64_t off, void* buf, size_t len) {
    if (off > z.file_size || len > z.file_size - off)
        return fail(EINVAL, "%s: read of %zu bytes at %llu is beyond the file's end", z.path.c_str(), len,
                    static_cast<unsigned long long>(off));
    auto* p = static_cast<uint8_t*>(buf);
    while (len > 0) {
        ssize_t n = pread(z.fd, p, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(EIO, "%s: read failed: %s", z.path.c_str(), strerror(errno));
        if (n == 0) return fail(EIO, "%s: the file ended early", z.path.c_str());
        p += n;
        off += static_cast<uint64_t>(n);
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// The zip64 extended information of a central record: replaces the fields
// that are all ones, in their order.
int read_zip64_extra(const zip_archive& z, const uint8_t* p, size_t len, zip_entry& e, bool need_size,
                     bool need_csize, bool need_header) {
    while (len >= 4) {
        uint16_t id = le16(p), n = le16(p + 2);
        if (n > len - 4) break;
        if (id == 1) {
            const uint8_t* q = p + 4;
            size_t left = n;
            auto take = [&](uint64_t& v) {
                if (left < 8) return false;
                v = le64(q);
                q += 8;
                left -= 8;
                return true;
            };
            if ((need_size && !take(e.size)) || (need_csize && !take(e.csize)) ||
                (need_header && !take(e.header)))
                return fail(EINVAL, "%s: short zip64 field of %s", z.path.c_str(), e.name.c_str());
            return 0;
        }
        p += 4 + n;
        len -= 4 + n;
    }
    if (need_size || need_csize || need_header)
        return fail(EINVAL, "%s: no zip64 field for %s", z.path.c_str(), e.name.c_str());
    return 0;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of a whole entry against the CRC-32 its directory record gives.
int check_crc(const zip_archive& z, const zip_entry& e, const std::string& bytes) {
    uLong crc = crc32(0, nullptr, 0);
    for (size_t at = 0; at < bytes.size();) {
        auto n = static_cast<uInt>(std::min<size_t>(bytes.size() - at, 1u << 30));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data() + at), n);
        at += n;
    }
    if (static_cast<uint32_t>(crc) != e.crc)
        return fail(EINVAL, "%s: %s is damaged: its CRC-32 is %08x, the zip directory says %08x", z.path.c_str(),
                    e.name.c_str(), static_cast<unsigned>(crc), static_cast<unsigned>(e.crc));
    return 0;
}

// The end of central directory: the central directory's place and count.
int find_central(zip_archive& z, uint64_t& cd_off, uint64_t& cd_size, uint64_t& count) {
    if (z.file_size < k_end_size) return fail(EINVAL, "%s: not a zip file (too short)", z.path.c_str());
    size_t tail = static_cast<size_t>(std::min<uint64_t>(z.file_size, k_end_size + 0xffff));
    std::vector<uint8_t> buf(tail);
    uint64_t base = z.file_size - tail;
    if (int rc = read_at(z, base, buf.data(), tail); rc < 0) return rc;
    size_t at = tail - k_end_size + 1;
    bool found = false;
    while (at-- > 0) {
        if (le32(&buf[at]) == k_sig_end && at + k_end_size + le16(&buf[at + 20]) == tail) {
            found = true;
            break;
        }
    }
    if (!found) return fail(EINVAL, "%s: not a zip file (no end of central directory)", z.path.c_str());
    const uint8_t* end = &buf[at];
    z.comment.assign(reinterpret_cast<const char*>(end + k_end_size), le16(end + 20));
    count = le16(end + 10);
    cd_size = le32(end + 12);
    cd_off = le32(end + 16);
    uint64_t end_off = base + at;
    bool wants64 = count == 0xffff || cd_size == 0xffffffff || cd_off == 0xffffffff;
    if (end_off >= k_locator_size) {
        uint8_t loc[k_locator_size];
        if (int rc = read_at(z, end_off - k_locator_size, loc, sizeof loc); rc < 0) return rc;
        if (le32(loc) == k_sig_locator64) {
            uint64_t off64 = le64(loc + 8);
            uint8_t e64[k_end64_size];
            if (off64 > end_off || end_off - off64 < k_end64_size)
                return fail(EINVAL, "%s: bad zip64 end of central directory offset", z.path.c_str());
            if (int rc = read_at(z, off64, e64, sizeof e64); rc < 0) return rc;
            if (le32(e64) != k_sig_end64)
                return fail(EINVAL, "%s: bad zip64 end of central directory", z.path.c_str());
            count = le64(e64 + 32);
            cd_size = le64(e64 + 40);
            cd_off = le64(e64 + 48);
            end_off = off64;
            wants64 = false;
        }
    }
    if (wants64) return fail(EINVAL, "%s: zip64 end of central directory missing", z.path.c_str());
    if (cd_off > end_off || cd_size > end_off - cd_off)
        return fail(EINVAL, "%s: central directory beyond its end record", z.path.c_str());
    if (cd_size > k_max_central) return fail(ENOTSUP, "%s: central directory too large", z.path.c_str());
    if (count > cd_size / k_central_size)
        return fail(EINVAL, "%s: %llu zip entries do not fit the central directory", z.path.c_str(),
                    static_cast<unsigned long long>(count));
    return 0;
}

}  // namespace

zip_archive::~zip_archive() {
    if (fd >= 0) close(fd);
}

bool url_decode(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int hi = hexval(in[i + 1]), lo = hexval(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi << 4 | lo);
        i += 2;
    }
    return true;
}

int zip_open(const char* path, zip_archive& z) {
    z.path = path;
    z.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (z.fd < 0) {
        int e = errno;
        return fail(e == ENOENT ? ENOENT : e, "%s: %s", path, strerror(e));
    }
    struct stat st {};
    if (fstat(z.fd, &st) != 0) return fail(EIO, "%s: %s", path, strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail(EINVAL, "%s: not a regular file", path);
    z.file_size = static_cast<uint64_t>(st.st_size);
    uint64_t cd_off = 0, cd_size = 0, count = 0;
    if (int rc = find_central(z, cd_off, cd_size, count); rc < 0) return rc;
    std::vector<uint8_t> cd(static_cast<size_t>(cd_size));
    if (int rc = read_at(z, cd_off, cd.data(), cd.size()); rc < 0) return rc;
    z.entries.reserve(static_cast<size_t>(count));
    size_t at = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (cd.size() - at < k_central_size || le32(&cd[at]) != k_sig_central)
            return fail(EINVAL, "%s: bad central directory record %llu", path, static_cast<unsigned long long>(i));
        const uint8_t* r = &cd[at];
        size_t name_len = le16(r + 28), extra_len = le16(r + 30), comment_len = le16(r + 32);
        if (cd.size() - at - k_central_size < name_len + extra_len + comment_len)
            return fail(EINVAL, "%s: central directory record %llu overruns", path, static_cast<unsigned long long>(i));
        zip_entry e;
        e.name.assign(reinterpret_cast<const char*>(r + k_central_size), name_len);
        e.method = le16(r + 10);
        e.crc = le32(r + 16);
        e.csize = le32(r + 20);
        e.size = le32(r + 24);
        e.header = le32(r + 42);
        if (int rc = read_zip64_extra(z, r + k_central_size + name_len, extra_len, e, e.size == 0xffffffff,
                                      e.csize == 0xffffffff, e.header == 0xffffffff);
            rc < 0)
            return rc;
        if (le16(r + 8) & 1) return fail(ENOTSUP, "%s: %s is encrypted", path, e.name.c_str());
        at += k_central_size + name_len + extra_len + comment_len;
        // The local header: its own name and extra lengths say where the data starts.
        uint8_t lh[k_local_size];
        if (e.header > cd_off || cd_off - e.header < k_local_size)
            return fail(EINVAL, "%s: local header of %s beyond the data", path, e.name.c_str());
        if (int rc = read_at(z, e.header, lh, sizeof lh); rc < 0) return rc;
        if (le32(lh) != k_sig_local) return fail(EINVAL, "%s: bad local header of %s", path, e.name.c_str());
        e.data = e.header + k_local_size + le16(lh + 26) + le16(lh + 28);
        if (e.data > cd_off || e.csize > cd_off - e.data)
            return fail(EINVAL, "%s: data of %s overruns the central directory", path, e.name.c_str());
        if (e.method == 0 && e.size != e.csize)
            return fail(EINVAL, "%s: stored entry %s has two sizes", path, e.name.c_str());
        std::string decoded;
        if (!url_decode(e.name, decoded)) decoded = e.name;
        z.by_name.emplace(std::move(decoded), z.entries.size());
        z.entries.push_back(std::move(e));
    }
    return 0;
}

const zip_entry* zip_find(const zip_archive& z, std::string_view name) {
    auto it = z.by_name.find(name);
    return it == z.by_name.end() ? nullptr : &z.entries[it->second];
}

int zip_load(const zip_archive& z, const zip_entry& e, uint64_t cap, std::string& out) {
    if (e.size > cap || e.csize > cap)
        return fail(ENOTSUP, "%s: %s is too large (%llu bytes)", z.path.c_str(), e.name.c_str(),
                    static_cast<unsigned long long>(e.size));
    std::string raw(static_cast<size_t>(e.csize), '\0');
    if (int rc = read_at(z, e.data, raw.data(), raw.size()); rc < 0) return rc;
    if (e.method == 0) {
        out = std::move(raw);
        return check_crc(z, e, out);
    }
    if (e.method != 8)
        return fail(ENOTSUP, "%s: %s uses zip method %u", z.path.c_str(), e.name.c_str(), e.method);
    // Inflated in steps: memory follows the bytes that really come out, not
    // the size the directory claims.
    out.clear();
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return fail(ENOMEM, "inflateInit2 failed");
    zs.next_in = reinterpret_cast<Bytef*>(raw.data());
    zs.avail_in = static_cast<uInt>(raw.size());
    int rc = Z_OK;
    while (rc == Z_OK && out.size() <= e.size) {
        size_t at = out.size();
        out.resize(at + (64u << 10));
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + at);
        zs.avail_out = 64u << 10;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.resize(at + (64u << 10) - zs.avail_out);
        if (rc == Z_BUF_ERROR && zs.avail_out != 0) break;  // the input ended early
        if (rc == Z_BUF_ERROR) rc = Z_OK;
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END || out.size() != e.size)
        return fail(EINVAL, "%s: %s does not inflate to its size", z.path.c_str(), e.name.c_str());
    return check_crc(z, e, out);
}

int zip_pread(const zip_archive& z, const zip_entry& e, uint64_t off, void* buf, size_t len) {
    if (e.method != 0)
        return fail(ENOTSUP, "%s: %s is compressed in the zip (method %u)", z.path.c_str(), e.name.c_str(), e.method);
    if (off > e.csize || len > e.csize - off)
        return fail(EIO, "%s: read of %zu bytes at %llu beyond %s", z.path.c_str(), len,
                    static_cast<unsigned long long>(off), e.name.c_str());
    return read_at(z, e.data + off, buf, len);
}

}  // namespace aff4

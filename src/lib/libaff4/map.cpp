// aff4:Map: "<map>/map" (entries of u64 mapped offset, u64 length, u64 target
// offset, u32 target id), "<map>/idx" (one target URI a line) and the
// symbolic streams. Lookups are binary searches: a sparse map of any size
// reads without a walk over its gaps.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

constexpr size_t k_map_entry = 28;
constexpr uint64_t k_max_map = 1u << 30;
constexpr uint64_t k_max_idx = 16u << 20;
constexpr uint64_t k_repeat_chunk = 1u << 20;
constexpr size_t k_max_targets = 1u << 16;

uint64_t le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool symbolic_target(std::string_view iri, map_target& t) {
    if (!iri.starts_with(k_ns)) return false;
    std::string_view name = iri.substr(k_ns.size());
    t = map_target{};
    if (name == "Zero") {
        t.kind = target_kind::fill;
        t.fill = 0;
        return true;
    }
    if (name == "UnknownData") {
        t.kind = target_kind::pattern;
        t.pattern = "UNKNOWN";
        return true;
    }
    if (name == "UnreadableData") {
        t.kind = target_kind::pattern;
        t.pattern = "UNREADABLEDATA";
        return true;
    }
    constexpr std::string_view k_sym = "SymbolicStream";
    if (name.size() == k_sym.size() + 2 && name.starts_with(k_sym)) {
        int hi = hexval(name[k_sym.size()]), lo = hexval(name[k_sym.size() + 1]);
        if (hi < 0 || lo < 0) return false;
        t.kind = target_kind::fill;
        t.fill = static_cast<uint8_t>(hi << 4 | lo);
        return true;
    }
    return false;
}

int map_load(const volume& vol, std::string_view uri, image_map& m, std::vector<std::string>& target_uris) {
    const char* path = vol.zip.path.c_str();
    std::string map_name = std::string(uri) + "/map", idx_name = std::string(uri) + "/idx";
    const zip_entry* me = volume_segment(vol, map_name);
    const zip_entry* ie = volume_segment(vol, idx_name);
    if (!me || !ie) return fail(ENOENT, "%s: segment %s is missing", path, (me ? idx_name : map_name).c_str());
    if (me->size % k_map_entry != 0)
        return fail(EINVAL, "%s: %s is %llu bytes, not whole entries", path, map_name.c_str(),
                    static_cast<unsigned long long>(me->size));
    std::string idx, raw;
    if (int rc = zip_load(vol.zip, *ie, k_max_idx, idx); rc < 0) return rc;
    target_uris.clear();
    for (size_t at = 0; at < idx.size();) {
        size_t nl = idx.find('\n', at);
        if (nl == std::string::npos) nl = idx.size();
        std::string line = idx.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        target_uris.push_back(std::move(line));
        at = nl + 1;
        if (target_uris.size() > k_max_targets)
            return fail(ENOTSUP, "%s: %s names more than %zu targets", path, idx_name.c_str(), k_max_targets);
    }
    if (int rc = zip_load(vol.zip, *me, k_max_map, raw); rc < 0) return rc;
    size_t count = raw.size() / k_map_entry;
    m.entries.clear();
    m.entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const auto* p = reinterpret_cast<const uint8_t*>(raw.data()) + i * k_map_entry;
        map_entry e{le64(p), le64(p + 8), le64(p + 16), le32(p + 24)};
        if (e.length == 0) continue;
        if (e.mapped > m.size || e.length > m.size - e.mapped || e.target_offset > UINT64_MAX - e.length ||
            e.target >= target_uris.size() || target_uris[e.target].empty())
            return fail(EINVAL, "%s: map entry %zu (at %llu, %llu bytes, target %u at %llu) is out of range", path, i,
                        static_cast<unsigned long long>(e.mapped), static_cast<unsigned long long>(e.length), e.target,
                        static_cast<unsigned long long>(e.target_offset));
        m.entries.push_back(e);
    }
    std::sort(m.entries.begin(), m.entries.end(),
              [](const map_entry& a, const map_entry& b) { return a.mapped < b.mapped; });
    for (size_t i = 1; i < m.entries.size(); ++i)
        if (m.entries[i - 1].mapped + m.entries[i - 1].length > m.entries[i].mapped)
            return fail(EINVAL, "%s: map entries overlap at %llu", path,
                        static_cast<unsigned long long>(m.entries[i].mapped));
    return 0;
}

int target_read(const map_target& t, uint64_t off, uint8_t* buf, size_t len) {
    switch (t.kind) {
    case target_kind::fill:
        memset(buf, t.fill, len);
        return 0;
    case target_kind::pattern: {
        // 1 MiB chunks, each the string repeated from its start and cut at the chunk's end.
        size_t n = t.pattern.size();
        for (size_t i = 0; i < len; ++i) buf[i] = static_cast<uint8_t>(t.pattern[((off + i) % k_repeat_chunk) % n]);
        return 0;
    }
    case target_kind::stream:
        return stream_read(*t.stream, off, buf, len);
    }
    return fail(EIO, "bad map target");
}

int map_read(const image_map& m, uint64_t off, uint8_t* buf, size_t len) {
    while (len > 0) {
        // The last entry that starts at or before off.
        auto it = std::upper_bound(m.entries.begin(), m.entries.end(), off,
                                   [](uint64_t o, const map_entry& e) { return o < e.mapped; });
        size_t piece;
        int rc;
        if (it != m.entries.begin() && off - (it - 1)->mapped < (it - 1)->length) {
            const map_entry& e = *(it - 1);
            uint64_t in = off - e.mapped;
            piece = static_cast<size_t>(std::min<uint64_t>(len, e.length - in));
            rc = target_read(m.targets[e.target], e.target_offset + in, buf, piece);
        } else {
            uint64_t gap_end = it == m.entries.end() ? m.size : it->mapped;
            piece = static_cast<size_t>(std::min<uint64_t>(len, gap_end - off));
            rc = target_read(m.gap, off, buf, piece);
        }
        if (rc < 0) return rc;
        if (piece == 0) return fail(EIO, "map read made no progress at %llu", static_cast<unsigned long long>(off));
        buf += piece;
        off += piece;
        len -= piece;
    }
    return 0;
}

}  // namespace aff4

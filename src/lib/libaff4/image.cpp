// An opened image: the first aff4:Image of the container, its data stream (a
// map or an image stream), and the other containers of a striped image,
// found beside the opened file by their volume URI.
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

constexpr size_t k_max_siblings = 1024;
constexpr size_t k_max_streams = 256;

std::string ns(std::string_view name) { return std::string(k_ns) + std::string(name); }

bool is_image(const rdf_graph& g, std::string_view subject) {
    for (std::string_view t : {"Image", "DiskImage", "ContiguousImage", "DiscontiguousImage"})
        if (rdf_has_type(g, subject, ns(t))) return true;
    return false;
}

// The first subject of the document typed as an image.
const std::string* first_image(const rdf_graph& g) {
    for (const rdf_triple& t : g.triples)
        if (t.predicate == k_rdf_type && !t.object.literal && t.object.value.starts_with(k_ns) &&
            is_image(g, t.subject))
            return &t.subject;
    return nullptr;
}

// Whether a volume's own metadata describes the image stream uri.
bool describes_stream(const volume& v, std::string_view uri) {
    return rdf_has_type(v.graph, uri, ns("ImageStream")) && rdf_first(v.graph, uri, ns("chunkSize"));
}

bool same_file(int fd, const struct stat& st) {
    struct stat o {};
    return fstat(fd, &o) == 0 && o.st_dev == st.st_dev && o.st_ino == st.st_ino;
}

bool has_aff4_suffix(std::string_view name) {
    return name.size() > 5 && strcasecmp(std::string(name.substr(name.size() - 5)).c_str(), ".aff4") == 0;
}

// Looks beside the opened file for the container that holds the image stream
// uri (its volume URI, when the metadata says it, is the one wanted).
int open_sibling(image& img, std::string_view uri, std::string_view wanted_volume, volume** found) {
    const std::string& first = img.volumes[0]->zip.path;
    size_t slash = first.rfind('/');
    std::string dir = slash == std::string::npos ? "." : first.substr(0, slash == 0 ? 1 : slash);
    DIR* d = opendir(dir.c_str());
    if (!d) return fail(ENOENT, "%s: cannot list the folder for the other parts: %s", dir.c_str(), strerror(errno));
    std::vector<std::string> names;
    while (dirent* de = readdir(d)) {
        if (has_aff4_suffix(de->d_name)) names.emplace_back(de->d_name);
        if (names.size() > k_max_siblings) break;
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = dir == "/" ? "/" + name : dir + "/" + name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        bool open_already = false;
        for (const auto& v : img.volumes) open_already = open_already || same_file(v->zip.fd, st);
        if (open_already) continue;
        std::string vol_uri;
        if (volume_peek_uri(path.c_str(), vol_uri) < 0) continue;
        if (!wanted_volume.empty() && vol_uri != wanted_volume) continue;
        auto v = std::make_unique<volume>();
        if (int rc = volume_open(path.c_str(), *v); rc < 0) {
            if (!wanted_volume.empty()) return rc;
            continue;
        }
        if (!describes_stream(*v, uri)) continue;
        img.volumes.push_back(std::move(v));
        *found = img.volumes.back().get();
        return 0;
    }
    std::string u(uri);
    if (!wanted_volume.empty())
        return fail(ENOENT, "%s: part of the image is missing: image stream %s is stored in volume %.*s, which no .aff4 file of %s holds",
                    first.c_str(), u.c_str(), static_cast<int>(wanted_volume.size()), wanted_volume.data(), dir.c_str());
    return fail(ENOENT, "%s: part of the image is missing: no .aff4 file of %s holds image stream %s", first.c_str(),
                dir.c_str(), u.c_str());
}

// The image stream uri, opened once per image.
int find_stream(image& img, std::string_view uri, image_stream** out) {
    for (const auto& s : img.streams) {
        if (s->uri == uri) {
            *out = s.get();
            return 0;
        }
    }
    if (img.streams.size() >= k_max_streams)
        return fail(ENOTSUP, "%s: the image uses more than %zu image streams", img.volumes[0]->zip.path.c_str(),
                    k_max_streams);
    volume* holder = nullptr;
    for (const auto& v : img.volumes) {
        if (rdf_has_type(v->graph, uri, ns("Map")))
            return fail(ENOTSUP, "%s: map %.*s targets another map", v->zip.path.c_str(),
                        static_cast<int>(uri.size()), uri.data());
        if (!holder && describes_stream(*v, uri)) holder = v.get();
    }
    if (!holder) {
        std::string wanted;
        for (const auto& v : img.volumes) {
            const rdf_term* stored = rdf_first(v->graph, uri, ns("stored"));
            if (stored && !stored->literal && stored->value != v->uri) {
                wanted = stored->value;
                break;
            }
        }
        if (int rc = open_sibling(img, uri, wanted, &holder); rc < 0) return rc;
    }
    auto s = std::make_unique<image_stream>();
    if (int rc = stream_open(*holder, uri, *s); rc < 0) return rc;
    s->pool = img.pool.get();
    img.streams.push_back(std::move(s));
    *out = img.streams.back().get();
    return 0;
}

int resolve_target(image& img, std::string_view uri, map_target& t) {
    if (symbolic_target(uri, t)) return 0;
    if (uri.starts_with(k_ns))
        return fail(ENOTSUP, "%s: map target <%.*s> is not supported", img.volumes[0]->zip.path.c_str(),
                    static_cast<int>(uri.size()), uri.data());
    t = map_target{};
    t.kind = target_kind::stream;
    return find_stream(img, uri, &t.stream);
}

int open_map(image& img, const volume& vol) {
    const char* path = vol.zip.path.c_str();
    image_map& m = img.map;
    int rc = rdf_uint(vol.graph, img.data_uri, ns("size"), m.size);
    if (rc < 0) return rc;
    if (rc > 0) return fail(EINVAL, "%s: map %s has no size", path, img.data_uri.c_str());
    std::vector<std::string> uris;
    if (int rc2 = map_load(vol, img.data_uri, m, uris); rc2 < 0) return rc2;
    m.targets.assign(uris.size(), map_target{});
    std::vector<bool> used(uris.size(), false);
    for (const map_entry& e : m.entries) used[e.target] = true;
    for (size_t i = 0; i < uris.size(); ++i)
        if (used[i])
            if (int rc2 = resolve_target(img, uris[i], m.targets[i]); rc2 < 0) return rc2;
    for (const map_entry& e : m.entries) {
        const map_target& t = m.targets[e.target];
        if (t.kind == target_kind::stream && e.target_offset + e.length > t.stream->size)
            return fail(EINVAL, "%s: map entry at %llu reads %llu bytes at %llu of %s, beyond its %llu bytes", path,
                        static_cast<unsigned long long>(e.mapped), static_cast<unsigned long long>(e.length),
                        static_cast<unsigned long long>(e.target_offset), t.stream->uri.c_str(),
                        static_cast<unsigned long long>(t.stream->size));
    }
    m.gap = map_target{};
    if (const rdf_term* gap = rdf_first(vol.graph, img.data_uri, ns("mapGapDefaultStream"))) {
        if (gap->literal) return fail(EINVAL, "%s: mapGapDefaultStream is not an IRI", path);
        if (int rc2 = resolve_target(img, gap->value, m.gap); rc2 < 0) return rc2;
        if (m.gap.kind == target_kind::stream && m.gap.stream->size < m.size)
            return fail(EINVAL, "%s: the gap stream is shorter than the map", path);
    }
    return 0;
}

}  // namespace

int image_open(const char* path, image& img) {
    img.pool = pool_create();  // its threads start at the first read of several chunks
    img.volumes.push_back(std::make_unique<volume>());
    volume& vol = *img.volumes[0];
    if (int rc = volume_open(path, vol); rc < 0) return rc;
    const std::string* subject = first_image(vol.graph);
    if (!subject) return fail(EINVAL, "%s: no aff4:Image in the container", path);
    img.image_uri = *subject;
    const rdf_term* data = rdf_first(vol.graph, img.image_uri, ns("dataStream"));
    if (!data || data->literal) return fail(EINVAL, "%s: image %s has no dataStream", path, img.image_uri.c_str());
    img.data_uri = data->value;
    uint64_t image_size = 0;
    int has_size = rdf_uint(vol.graph, img.image_uri, ns("size"), image_size);
    if (has_size < 0) return has_size;
    uint64_t data_size;
    if (rdf_has_type(vol.graph, img.data_uri, ns("Map"))) {
        img.has_map = true;
        if (int rc = open_map(img, vol); rc < 0) return rc;
        data_size = img.map.size;
    } else if (rdf_has_type(vol.graph, img.data_uri, ns("ImageStream"))) {
        if (int rc = find_stream(img, img.data_uri, &img.linear); rc < 0) return rc;
        data_size = img.linear->size;
    } else {
        return fail(EINVAL, "%s: data stream %s is neither a map nor an image stream", path, img.data_uri.c_str());
    }
    if (has_size == 0 && image_size != data_size)
        return fail(EINVAL, "%s: image %s is %llu bytes but its data stream is %llu", path, img.image_uri.c_str(),
                    static_cast<unsigned long long>(image_size), static_cast<unsigned long long>(data_size));
    img.size = data_size;
    return 0;
}

int64_t image_read(image& img, uint64_t off, uint8_t* buf, size_t len) {
    if (off >= img.size) return 0;
    len = static_cast<size_t>(std::min<uint64_t>(len, img.size - off));
    int rc = img.has_map ? map_read(img.map, off, buf, len) : stream_read(*img.linear, off, buf, len);
    return rc < 0 ? rc : static_cast<int64_t>(len);
}

}  // namespace aff4

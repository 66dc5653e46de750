// A zip volume: its URI (zip comment or container.description), its
// information.turtle, and the mapping of AFF4 URIs to its segments.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

constexpr uint64_t k_max_turtle = 64u << 20;
constexpr uint64_t k_max_description = 4096;

thread_local char t_error[512];

// The volume URI: the zip comment up to its first NUL or line end, else
// container.description.
int read_uri(const zip_archive& z, std::string& uri) {
    std::string_view c = z.comment;
    c = c.substr(0, c.find_first_of(std::string_view("\0\r\n", 3)));
    if (c.starts_with("aff4://")) {
        uri.assign(c);
        return 0;
    }
    const zip_entry* d = zip_find(z, "container.description");
    if (!d) return fail(EINVAL, "%s: no volume URI (not an AFF4 container)", z.path.c_str());
    std::string text;
    if (int rc = zip_load(z, *d, k_max_description, text); rc < 0) return rc;
    std::string_view t = text;
    t = t.substr(0, t.find_first_of(std::string_view("\0\r\n", 3)));
    if (!t.starts_with("aff4://")) return fail(EINVAL, "%s: bad container.description", z.path.c_str());
    uri.assign(t);
    return 0;
}

}  // namespace

int fail(int err, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(t_error, sizeof t_error, fmt, ap);
    va_end(ap);
    return -err;
}

const char* last_error() { return t_error; }

int volume_open(const char* path, volume& v) {
    if (int rc = zip_open(path, v.zip); rc < 0) return rc;
    if (int rc = read_uri(v.zip, v.uri); rc < 0) return rc;
    const zip_entry* t = zip_find(v.zip, "information.turtle");
    if (!t) return fail(EINVAL, "%s: no information.turtle", path);
    std::string text;
    if (int rc = zip_load(v.zip, *t, k_max_turtle, text); rc < 0) return rc;
    if (int rc = turtle_parse(text, v.uri + "/information.turtle", v.graph); rc < 0) {
        std::string why = last_error();
        return fail(-rc, "%s: %s", path, why.c_str());
    }
    return 0;
}

int volume_peek_uri(const char* path, std::string& uri) {
    zip_archive z;
    if (int rc = zip_open(path, z); rc < 0) return rc;
    return read_uri(z, uri);
}

const zip_entry* volume_segment(const volume& v, std::string_view uri) {
    // Relative to the volume: the part after the volume URI.
    if (uri.size() > v.uri.size() + 1 && uri.starts_with(v.uri) && uri[v.uri.size()] == '/')
        if (const zip_entry* e = zip_find(v.zip, uri.substr(v.uri.size() + 1))) return e;
    // Anything else is stored under its escaped URI (the zip names are
    // decoded when the directory is read).
    return zip_find(v.zip, uri);
}

}  // namespace aff4

// aff4:ImageStream: chunks of chunkSize bytes, chunksInSegment of them per
// bevy segment ("<stream>/00000000"), each bevy with its index
// ("<stream>/00000000.index": u64 offset, u32 length per chunk). A chunk whose
// length is the chunk size is stored; any other is compressed. Without
// chunksInSegment, the first bevy's index gives the count. A bevy deflated in
// the zip is inflated whole, one bevy at a time per stream.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

constexpr uint64_t k_max_chunk = 16u << 20;
constexpr uint64_t k_max_chunks_in_segment = 1u << 20;
constexpr size_t k_index_entry = 12;
constexpr uint64_t k_cache_bytes = 32u << 20;
constexpr size_t k_max_cache_slots = 16;
constexpr uint64_t k_max_inflated_bevy = 256u << 20;
// The stored bytes of the chunks a read hands to the decoding threads at once.
constexpr uint64_t k_inflight_bytes = 64u << 20;
// The decoded bytes of a run of chunks handed to a thread at once.
constexpr uint64_t k_run_bytes = 128u << 10;

uint64_t le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

std::string segment_name(std::string_view uri, uint64_t n, const char* suffix) {
    char num[32];
    snprintf(num, sizeof num, "/%08llu%s", static_cast<unsigned long long>(n), suffix);
    return std::string(uri) + num;
}

// The largest compressed chunk accepted: room for codecs that can grow the
// bytes a little (lz4's bound is n + n/255 + 16).
uint64_t max_stored_length(uint32_t chunk_size) { return uint64_t{chunk_size} + chunk_size / 8 + 1024; }

int load_bevy(image_stream& s, uint64_t b) {
    bevy& bv = s.bevies[b];
    std::string data_name = segment_name(s.uri, b, "");
    std::string index_name = segment_name(s.uri, b, ".index");
    const zip_entry* data = volume_segment(*s.vol, data_name);
    const zip_entry* index = volume_segment(*s.vol, index_name);
    if (!data || !index)
        return fail(ENOENT, "%s: segment %s is missing", s.vol->zip.path.c_str(),
                    (data ? index_name : data_name).c_str());
    uint64_t first = b * s.chunks_in_segment;
    uint64_t count = std::min<uint64_t>(s.chunks_in_segment, s.chunk_count - first);
    if (index->size != count * k_index_entry)
        return fail(EINVAL, "%s: %s holds %llu bytes, not %llu index entries", s.vol->zip.path.c_str(),
                    index_name.c_str(), static_cast<unsigned long long>(index->size),
                    static_cast<unsigned long long>(count));
    std::string raw;
    if (int rc = zip_load(s.vol->zip, *index, count * k_index_entry, raw); rc < 0) return rc;
    std::vector<index_entry> entries(static_cast<size_t>(count));
    uint64_t cap = max_stored_length(s.chunk_size);
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto* p = reinterpret_cast<const uint8_t*>(raw.data()) + i * k_index_entry;
        index_entry& e = entries[i];
        e.offset = le64(p);
        e.length = le32(p + 8);
        if (e.length == 0 || e.length > cap || e.offset > data->size || e.length > data->size - e.offset)
            return fail(EINVAL, "%s: index entry %zu of %s (offset %llu, length %u) is outside its bevy of %llu bytes",
                        s.vol->zip.path.c_str(), i, index_name.c_str(), static_cast<unsigned long long>(e.offset),
                        e.length, static_cast<unsigned long long>(data->size));
    }
    bv.data = data;
    bv.index = std::move(entries);
    bv.loaded = true;
    return 0;
}

// Reads len bytes at off of bevy b's data (the index entries were checked
// against its size): from the file when the zip stores the bevy, else from
// the bevy inflated.
int read_bevy(image_stream& s, uint64_t b, uint64_t off, uint8_t* buf, size_t len) {
    const zip_entry& data = *s.bevies[b].data;
    if (data.method == 0) return zip_pread(s.vol->zip, data, off, buf, len);
    if (s.inflated_bevy != b) {
        s.inflated_bevy = UINT64_MAX;
        if (int rc = zip_load(s.vol->zip, data, k_max_inflated_bevy, s.inflated); rc < 0) return rc;
        s.inflated_bevy = b;
    }
    memcpy(buf, s.inflated.data() + off, len);
    return 0;
}

// The chunks of a bevy when the metadata does not say: as many as the first
// bevy's index has entries (every bevy but the last holds that many).
int chunks_per_bevy_from_index(const volume& vol, std::string_view uri, uint64_t& out) {
    std::string name = segment_name(uri, 0, ".index");
    const zip_entry* index = volume_segment(vol, name);
    if (!index) return fail(ENOENT, "%s: segment %s is missing", vol.zip.path.c_str(), name.c_str());
    if (index->size == 0 || index->size % k_index_entry != 0)
        return fail(EINVAL, "%s: %s holds %llu bytes, not whole index entries", vol.zip.path.c_str(), name.c_str(),
                    static_cast<unsigned long long>(index->size));
    out = index->size / k_index_entry;
    return 0;
}

// The index entry of chunk n, its bevy's index loaded when it is not yet.
int chunk_entry(image_stream& s, uint64_t n, const index_entry** e) {
    uint64_t b = n / s.chunks_in_segment;
    if (!s.bevies[b].loaded)
        if (int rc = load_bevy(s, b); rc < 0) return rc;
    *e = &s.bevies[b].index[n % s.chunks_in_segment];
    return 0;
}

// Decodes the stored bytes of chunk n into out (chunk_size bytes, padded
// with zeros). Touches nothing of s but what stream_open set: the decoding
// threads call it.
int decode_bytes(const image_stream& s, uint64_t n, const uint8_t* in, uint32_t length, uint8_t* out) {
    if (length == s.chunk_size) {
        memcpy(out, in, s.chunk_size);
        return 0;
    }
    uint64_t need = std::min<uint64_t>(s.chunk_size, s.size - n * s.chunk_size);
    int64_t got;
    if (s.method == codec::stored) {
        // A short stored chunk can only be the last one, unpadded.
        got = length;
        if (length < s.chunk_size) memcpy(out, in, length);
        else got = -1;
    } else {
        got = codec_decode(s.method, in, length, out, s.chunk_size);
    }
    if (got < 0 || static_cast<uint64_t>(got) < need)
        return fail(EIO, "%s: chunk %llu of %s does not decode to %llu bytes", s.vol->zip.path.c_str(),
                    static_cast<unsigned long long>(n), s.uri.c_str(), static_cast<unsigned long long>(need));
    memset(out + got, 0, s.chunk_size - static_cast<size_t>(got));
    return 0;
}

int decode_chunk(image_stream& s, uint64_t n, uint8_t* out) {
    const index_entry* e = nullptr;
    if (int rc = chunk_entry(s, n, &e); rc < 0) return rc;
    s.scratch.resize(e->length);
    if (int rc = read_bevy(s, n / s.chunks_in_segment, e->offset, s.scratch.data(), e->length); rc < 0) return rc;
    return decode_bytes(s, n, s.scratch.data(), e->length, out);
}

// Readies slot t for the run of count chunks from first, decoded into out:
// their index entries, and their bytes when a bevy is deflated in the zip
// (the inflated bevy is the stream's, so only the reader copies from it).
// On a failure at a chunk, t holds the chunks before it.
int fill_slot(image_stream& s, uint64_t first, size_t count, uint8_t* out, decode_slot& t) {
    t.stream = &s;
    t.first = first;
    t.count = 0;
    t.out = out;
    t.rc = 0;
    t.why.clear();
    size_t bytes = 0;
    for (size_t i = 0; i < count; ++i) {
        const index_entry* e = nullptr;
        if (int rc = chunk_entry(s, first + i, &e); rc < 0) return rc;
        run_chunk& c = t.chunks[i];
        c.data = s.bevies[(first + i) / s.chunks_in_segment].data;
        c.entry = *e;
        c.at = bytes;
        c.fetched = c.data->method != 0;
        bytes += e->length;
        if (t.in.size() < bytes) t.in.resize(bytes);
        if (c.fetched)
            if (int rc = read_bevy(s, (first + i) / s.chunks_in_segment, e->offset, t.in.data() + c.at, e->length);
                rc < 0)
                return rc;
        t.count = i + 1;
    }
    return 0;
}

// fill_slot, out of memory a failure like any other: the runs already
// handed out write into the caller's buffer until the reader has waited for them.
int prepare_slot(image_stream& s, uint64_t first, size_t count, uint8_t* out, decode_slot& t) {
    try {
        return fill_slot(s, first, count, out, t);
    } catch (const std::bad_alloc&) {
        return fail(ENOMEM, "out of memory");
    }
}

// Reads count whole chunks from chunk first into buf on the decoding
// threads, in runs of a few chunks. Holds at most a window of runs in flight
// (their stored bytes bounded by k_inflight_bytes), and fails as the chunks
// one after another would: with the failure of the first chunk that fails.
int read_whole_chunks(image_stream& s, uint64_t first, uint64_t count, uint8_t* buf) {
    decode_pool& p = *s.pool;
    // Runs long enough that handing them out costs little next to decoding
    // them, short enough that every thread has some.
    size_t run = static_cast<size_t>(std::clamp<uint64_t>(
        std::min<uint64_t>(k_run_bytes / s.chunk_size, count / (2 * p.threads.size())), 1, k_max_run));
    size_t window = static_cast<size_t>(
        std::clamp<uint64_t>(k_inflight_bytes / (run * max_stored_length(s.chunk_size)), 2, p.slots.size()));
    uint64_t issued = 0;    // chunks handed out
    size_t sent = 0, waited = 0;  // runs handed out, runs done
    // The first run that failed (its slot is not used again in this read),
    // and a failure to ready a run, whose text is kept before the reader
    // decodes anything that could fail too.
    const decode_slot* failed = nullptr;
    int prep_rc = 0;
    char prep_why[512] = "";
    // Takes the oldest run in flight; the first failure in order is kept.
    auto take_oldest = [&] {
        decode_slot& t = p.slots[waited % window];
        ++waited;
        if (t.rc < 0 && !failed) failed = &t;
    };
    decode_slot* batch[k_max_slots];
    while (issued < count && !failed && prep_rc == 0) {
        size_t n = 0;
        while (sent - waited < window && issued < count) {
            decode_slot& t = p.slots[sent % window];
            size_t want = static_cast<size_t>(std::min<uint64_t>(run, count - issued));
            int rc = prepare_slot(s, first + issued, want, buf + issued * s.chunk_size, t);
            if (t.count > 0) {
                // The chunks before a failure to ready one go too: they fail first if they fail.
                batch[n++] = &t;
                ++sent;
                issued += t.count;
            }
            if (rc < 0) {
                prep_rc = rc;
                snprintf(prep_why, sizeof prep_why, "%s", last_error());
                break;
            }
        }
        pool_submit(p, batch, n);
        if (prep_rc < 0 || issued == count) break;
        pool_wait(p, p.slots[waited % window]);
        take_oldest();
        while (waited < sent && pool_done(p, p.slots[waited % window])) take_oldest();
    }
    while (waited < sent) {
        pool_wait(p, p.slots[waited % window]);
        take_oldest();
    }
    if (failed) return fail(-failed->rc, "%s", failed->why.c_str());
    if (prep_rc < 0) return fail(-prep_rc, "%s", prep_why);
    return 0;
}

}  // namespace

int stream_open(const volume& vol, std::string_view uri, image_stream& s) {
    s.uri.assign(uri);
    s.vol = &vol;
    const rdf_graph& g = vol.graph;
    const char* path = vol.zip.path.c_str();
    uint64_t chunk_size = 0, per_segment = 0;
    int rc = rdf_uint(g, uri, std::string(k_ns) + "chunkSize", chunk_size);
    if (rc < 0) return rc;
    if (rc > 0 || chunk_size == 0 || chunk_size > k_max_chunk)
        return fail(EINVAL, "%s: image stream %s has no usable chunkSize", path, s.uri.c_str());
    rc = rdf_uint(g, uri, std::string(k_ns) + "size", s.size);
    if (rc < 0) return rc;
    if (rc > 0) return fail(EINVAL, "%s: image stream %s has no size", path, s.uri.c_str());
    rc = rdf_uint(g, uri, std::string(k_ns) + "chunksInSegment", per_segment);
    if (rc < 0) return rc;
    if (rc > 0 && s.size == 0) per_segment = 1;  // no chunks, and no bevy to ask
    else if (rc > 0)
        if (int rc2 = chunks_per_bevy_from_index(vol, uri, per_segment); rc2 < 0) return rc2;
    if (per_segment == 0 || per_segment > k_max_chunks_in_segment)
        return fail(EINVAL, "%s: image stream %s has no usable chunksInSegment", path, s.uri.c_str());
    s.chunk_size = static_cast<uint32_t>(chunk_size);
    s.chunks_in_segment = static_cast<uint32_t>(per_segment);
    s.method = codec::stored;
    if (const rdf_term* m = rdf_first(g, uri, std::string(k_ns) + "compressionMethod")) {
        if (m->literal) return fail(EINVAL, "%s: compressionMethod of %s is not an IRI", path, s.uri.c_str());
        if (codec_from_iri(m->value, s.method) < 0) {
            std::string why = last_error();
            return fail(ENOTSUP, "%s: %s", path, why.c_str());
        }
    }
    s.chunk_count = s.size / chunk_size + (s.size % chunk_size != 0);
    uint64_t bevies = s.chunk_count / per_segment + (s.chunk_count % per_segment != 0);
    // Each bevy is two zip entries: more bevies than entries is a lie about the size.
    if (bevies > vol.zip.entries.size() / 2)
        return fail(EINVAL, "%s: image stream %s of %llu bytes needs %llu bevies; the container has fewer", path,
                    s.uri.c_str(), static_cast<unsigned long long>(s.size), static_cast<unsigned long long>(bevies));
    s.bevies.assign(static_cast<size_t>(bevies), bevy{});
    size_t slots = static_cast<size_t>(std::clamp<uint64_t>(k_cache_bytes / chunk_size, 1, k_max_cache_slots));
    s.cache.assign(slots, cached_chunk{});
    return 0;
}

int stream_chunk(image_stream& s, uint64_t n, const uint8_t** bytes) {
    if (n >= s.chunk_count)
        return fail(EIO, "chunk %llu of %s is beyond its %llu chunks", static_cast<unsigned long long>(n),
                    s.uri.c_str(), static_cast<unsigned long long>(s.chunk_count));
    cached_chunk* slot = &s.cache[0];
    for (cached_chunk& c : s.cache) {
        if (c.number == n) {
            c.used = ++s.clock;
            *bytes = c.bytes.data();
            return 0;
        }
        if (c.used < slot->used) slot = &c;
    }
    slot->number = UINT64_MAX;
    slot->bytes.resize(s.chunk_size);
    if (int rc = decode_chunk(s, n, slot->bytes.data()); rc < 0) return rc;
    slot->number = n;
    slot->used = ++s.clock;
    *bytes = slot->bytes.data();
    return 0;
}

void slot_decode(decode_slot& t) {
    const image_stream& s = *t.stream;
    int rc = 0;
    for (size_t i = 0; i < t.count && rc == 0; ++i) {
        const run_chunk& c = t.chunks[i];
        uint8_t* in = t.in.data() + c.at;
        if (!c.fetched) rc = zip_pread(s.vol->zip, *c.data, c.entry.offset, in, c.entry.length);
        if (rc == 0) rc = decode_bytes(s, t.first + i, in, c.entry.length, t.out + i * s.chunk_size);
    }
    t.rc = rc;
    if (rc < 0) t.why.assign(last_error());
}

int stream_read(image_stream& s, uint64_t off, uint8_t* buf, size_t len) {
    if (off > s.size || len > s.size - off)
        return fail(EIO, "read of %zu bytes at %llu is beyond the end of %s (%llu bytes)", len,
                    static_cast<unsigned long long>(off), s.uri.c_str(), static_cast<unsigned long long>(s.size));
    while (len > 0) {
        uint64_t n = off / s.chunk_size;
        size_t in = static_cast<size_t>(off % s.chunk_size);
        // Two or more whole chunks go to the decoding threads; one alone is
        // decoded here, as are the parts of chunks at either end.
        uint64_t whole = in == 0 ? len / s.chunk_size : 0;
        if (whole >= 2 && s.pool && pool_ready(*s.pool)) {
            if (int rc = read_whole_chunks(s, n, whole, buf); rc < 0) return rc;
            size_t done = static_cast<size_t>(whole * s.chunk_size);
            buf += done;
            off += done;
            len -= done;
            continue;
        }
        size_t piece = std::min<size_t>(len, s.chunk_size - in);
        const uint8_t* bytes = nullptr;
        if (int rc = stream_chunk(s, n, &bytes); rc < 0) return rc;
        memcpy(buf, bytes + in, piece);
        buf += piece;
        off += piece;
        len -= piece;
    }
    return 0;
}

}  // namespace aff4

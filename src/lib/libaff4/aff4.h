// The AFF4 reader: records and procedures behind the six entry points of
// libaff4/aff4_api.h. Reads AFF4 Standard v1.0 images, read-only: the
// zip container (zip64 too, and striped images over several containers of
// one folder), information.turtle, image streams and maps.
//
// Failures are negative errno values (the entry points return -1 and set
// errno to the value); the text of the last failure of the calling thread is
// kept for callers that can show it (AFF4_last_error):
//   ENOENT   the file, a zip segment the image needs, or a striped part is missing
//   EINVAL   a malformed image (zip structure, a CRC-32, turtle, index, map,
//            sizes) or a bad argument
//   ENOTSUP  a well-formed image that uses what this reader does not read
//            (a compression method, a zip method) or passes its limits
//   EIO      the file could not be read, or a chunk does not decode as its
//            image stream says
//   EBADF    an unknown handle
//   EMFILE   too many open handles
//   ENOMEM   out of memory
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace aff4 {

// ---- failures ------------------------------------------------------------

// Records the text of a failure for this thread and returns -err.
int fail(int err, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The text of this thread's last failure ("" when none).
const char* last_error();

// ---- zip container (zip.cpp) --------------------------------------------

struct zip_entry {
    std::string name;       // the name as stored (URL-encoded)
    uint16_t method = 0;    // 0 stored, 8 deflate
    uint32_t crc = 0;       // CRC-32 of the inflated bytes
    uint64_t csize = 0;     // bytes in the file
    uint64_t size = 0;      // bytes once inflated
    uint64_t header = 0;    // local header offset
    uint64_t data = 0;      // data offset (after the local header)
};

struct zip_archive {
    int fd = -1;
    std::string path;
    uint64_t file_size = 0;
    std::string comment;
    std::vector<zip_entry> entries;
    std::map<std::string, size_t, std::less<>> by_name;  // decoded name -> entry
    zip_archive() = default;
    zip_archive(const zip_archive&) = delete;
    zip_archive& operator=(const zip_archive&) = delete;
    ~zip_archive();
};

// Opens path and reads its central directory: 0 or a negative errno.
int zip_open(const char* path, zip_archive& z);
// The entry whose percent-decoded name is name, or nullptr.
const zip_entry* zip_find(const zip_archive& z, std::string_view name);
// Reads the whole of a (small) entry, stored or deflated, of at most cap
// bytes, and checks it against its CRC-32.
int zip_load(const zip_archive& z, const zip_entry& e, uint64_t cap, std::string& out);
// Reads len bytes at off of a stored entry: 0 or a negative errno.
int zip_pread(const zip_archive& z, const zip_entry& e, uint64_t off, void* buf, size_t len);
// Decodes %XX escapes; false on a malformed escape.
bool url_decode(std::string_view in, std::string& out);

// ---- turtle (turtle.cpp) -------------------------------------------------

struct rdf_term {
    bool literal = false;
    std::string value;      // IRI or literal text
    std::string datatype;   // literal's datatype IRI ("" when none)
};

struct rdf_triple {
    std::string subject;
    std::string predicate;
    rdf_term object;
};

struct rdf_graph {
    std::vector<rdf_triple> triples;
};

// Reads a Turtle document whose own URI is base (relative IRIs resolve
// against it until an @base): 0, -EINVAL when it is not Turtle (the message
// says the line), or -ENOTSUP past the reader's limits.
int turtle_parse(const std::string& text, std::string_view base, rdf_graph& g);

constexpr std::string_view k_rdf_type = "http://www.w3.org/1999/02/22-rdf-syntax-ns#type";
constexpr std::string_view k_ns = "http://aff4.org/Schema#";

// The first object of (subject, predicate), or nullptr.
const rdf_term* rdf_first(const rdf_graph& g, std::string_view subject, std::string_view predicate);
// Every object of (subject, predicate).
std::vector<const rdf_term*> rdf_all(const rdf_graph& g, std::string_view subject, std::string_view predicate);
// Whether subject has the type IRI.
bool rdf_has_type(const rdf_graph& g, std::string_view subject, std::string_view type);
// A literal of (subject, predicate) as an unsigned integer: 0 found, 1 absent,
// negative errno when malformed.
int rdf_uint(const rdf_graph& g, std::string_view subject, std::string_view predicate, uint64_t& out);

// ---- volumes (volume.cpp) ------------------------------------------------

struct volume {
    zip_archive zip;
    std::string uri;   // the volume URI (zip comment or container.description)
    rdf_graph graph;
};

// Opens a container and reads its volume URI and metadata.
int volume_open(const char* path, volume& v);
// Opens only enough of a container to know its volume URI (for the search of
// striped parts).
int volume_peek_uri(const char* path, std::string& uri);
// The zip entry for a URI of the volume (relative or escaped), or nullptr.
const zip_entry* volume_segment(const volume& v, std::string_view uri);

// ---- chunk codecs (codec.cpp) ------------------------------------------

enum class codec : uint8_t { stored, snappy, lz4, deflate, zlib };

// The codec of a compressionMethod IRI: 0, or -ENOTSUP.
int codec_from_iri(std::string_view iri, codec& c);
// Decodes one chunk into out (capacity cap): the decoded length, or a
// negative errno.
int64_t codec_decode(codec c, const uint8_t* in, size_t in_len, uint8_t* out, size_t cap);

// ---- image streams (image_stream.cpp) -----------------------------------

struct index_entry {
    uint64_t offset;
    uint32_t length;
};

struct bevy {
    bool loaded = false;
    const zip_entry* data = nullptr;
    std::vector<index_entry> index;
};

struct decode_pool;

struct cached_chunk {
    uint64_t number = UINT64_MAX;
    uint64_t used = 0;  // the cache's clock at the last use
    std::vector<uint8_t> bytes;
};

struct image_stream {
    std::string uri;
    const volume* vol = nullptr;    // the container holding the bevies
    uint64_t size = 0;
    uint32_t chunk_size = 0;
    uint32_t chunks_in_segment = 0;
    codec method = codec::stored;
    uint64_t chunk_count = 0;
    std::vector<bevy> bevies;
    std::vector<cached_chunk> cache;
    uint64_t clock = 0;
    std::vector<uint8_t> scratch;   // compressed bytes of one chunk
    uint64_t inflated_bevy = UINT64_MAX;  // the bevy deflated in the zip that inflated holds
    std::string inflated;
    decode_pool* pool = nullptr;    // the image's decoding threads (none on one processor)
};

// Fills s from the metadata of vol: 0 or a negative errno.
int stream_open(const volume& vol, std::string_view uri, image_stream& s);
// Reads len bytes at off (off + len <= size): 0 or a negative errno.
int stream_read(image_stream& s, uint64_t off, uint8_t* buf, size_t len);
// The decoded bytes of chunk n (chunk_size bytes, padding included).
int stream_chunk(image_stream& s, uint64_t n, const uint8_t** bytes);

// ---- decoding threads (decode_pool.cpp) ---------------------------------
//
// A read of several whole chunks decodes them on the image's threads, each
// straight into the caller's buffer: the reading thread loads the indexes
// and hands out runs of chunks in order, at most a window of them at a
// time, and then waits for each run in order; the first failure in chunk
// order is the read's. The threads start at the first such read and end with
// the image; a read returns only once its chunks are done, so no thread works
// on an image that is gone.

constexpr size_t k_max_run = 8;      // chunks handed to a thread at once
constexpr size_t k_max_slots = 128;  // runs of an image in flight at most

// Where one chunk of a run is stored.
struct run_chunk {
    const zip_entry* data = nullptr;   // the bevy's zip entry
    index_entry entry{};               // where the chunk is in it
    size_t at = 0;                     // where its bytes go in the run's in
    bool fetched = false;              // in holds them already (bevy deflated in the zip)
};

// A run of consecutive chunks handed to a thread.
struct decode_slot {
    const image_stream* stream = nullptr;
    uint64_t first = 0;                // the run's first chunk
    size_t count = 0;
    run_chunk chunks[k_max_run];
    std::vector<uint8_t> in;           // the chunks' bytes as stored
    uint8_t* out = nullptr;            // count * chunk_size bytes of the caller's buffer
    int rc = 0;                        // set by the thread: 0 or a negative errno
    std::string why;                   // and the text of its failure (room made beforehand)
    bool busy = false;                 // queued or running (under the pool's lock)
};

struct decode_pool {
    std::mutex lock;
    std::condition_variable work;      // runs were queued, or stop
    std::condition_variable done;      // the run the reader waits for is done
    std::vector<decode_slot*> queue;   // a ring of slots.size()
    size_t head = 0, queued = 0;
    const decode_slot* awaited = nullptr;  // the run the reader waits for
    std::vector<std::thread> threads;
    std::vector<decode_slot> slots;
    unsigned want = 0;                 // threads to start
    bool tried = false;                // the threads were started (or failed to)
    bool stop = false;
    decode_pool() = default;
    decode_pool(const decode_pool&) = delete;
    decode_pool& operator=(const decode_pool&) = delete;
    ~decode_pool();
};

// The decoding threads for an image opened now: the processors this process
// may run on (or what set_decode_threads said); nullptr for one.
std::unique_ptr<decode_pool> pool_create();
// The threads, started on the first call: false when there are none to use.
bool pool_ready(decode_pool& p);
// Queues n prepared slots at once.
void pool_submit(decode_pool& p, decode_slot* const* list, size_t n);
// Waits until a queued slot is done / whether it is done.
void pool_wait(decode_pool& p, decode_slot& t);
bool pool_done(decode_pool& p, const decode_slot& t);
// Decodes the chunks of a slot (on a pool thread), up to the first that fails.
void slot_decode(decode_slot& t);
// The decoding threads of the images opened from now on (0: as many as the
// processors this process may run on; 1: none, every chunk on the reader).
void set_decode_threads(unsigned n);

// ---- maps (map.cpp) ------------------------------------------------------

enum class target_kind : uint8_t { stream, fill, pattern };

struct map_target {
    target_kind kind = target_kind::fill;
    uint8_t fill = 0;                 // fill: the repeated byte
    std::string_view pattern;         // pattern: the repeated string
    image_stream* stream = nullptr;   // stream
};

struct map_entry {
    uint64_t mapped;
    uint64_t length;
    uint64_t target_offset;
    uint32_t target;
};

struct image_map {
    uint64_t size = 0;
    std::vector<map_entry> entries;   // sorted by mapped offset, disjoint
    std::vector<map_target> targets;  // by target id
    map_target gap;
};

// The symbolic stream of an IRI: true when iri names one.
bool symbolic_target(std::string_view iri, map_target& t);
// Reads the map segments of uri: entries checked against size; the targets
// are resolved by the caller. 0 or a negative errno.
int map_load(const volume& vol, std::string_view uri, image_map& m, std::vector<std::string>& target_uris);
// Reads len bytes at off (off + len <= size).
int map_read(const image_map& m, uint64_t off, uint8_t* buf, size_t len);
// Fills buf with the bytes of a target at off.
int target_read(const map_target& t, uint64_t off, uint8_t* buf, size_t len);

// ---- images (image.cpp) --------------------------------------------------

struct image {
    std::mutex lock;
    std::vector<std::unique_ptr<volume>> volumes;       // [0] the opened file
    std::vector<std::unique_ptr<image_stream>> streams;
    bool has_map = false;
    image_map map;
    image_stream* linear = nullptr;   // the data stream when it is no map
    uint64_t size = 0;
    std::string image_uri;
    std::string data_uri;
    std::unique_ptr<decode_pool> pool;  // last: it ends first, its threads idle
};

// Opens the first image of the container at path.
int image_open(const char* path, image& img);
// Reads up to len bytes at off: the bytes read (0 at the end) or a negative errno.
int64_t image_read(image& img, uint64_t off, uint8_t* buf, size_t len);

}  // namespace aff4

// The offset index of a compressed image: the in-memory offset cache of a
// reader, the side file that grows while an image is written, and the
// trailer the finish request writes.
//
// Entry i of the index is the file offset of the record whose uncompressed
// offset is i x step (entry 0, the record at offset 0, lies at 64 and is
// never stored).
#pragma once

#include <cstddef>
#include <cstdint>

struct kxz_image;
struct os_file_ctx;

// ---- offset cache
struct off_cache_entry {
    uint64_t boff;  // uncompressed offset: i x step
    uint64_t foff;  // file offset of the record, 0 while unknown
};

// The entries are held only as far as they are known: the arrays grow as the
// trailer, the side file or the walk over the records fills them, so a
// header claiming a huge length costs nothing until records back it. An
// entry at or above cap is (i x step, 0): not known.
struct off_cache {
    off_cache_entry* entries;
    uint32_t count;   // file_len / step + 1, or 0: no index
    uint32_t filled;  // entries known, in order from entry 0
    uint64_t step;
    // Per entry: 1 when the records vouch for it (entry 0, entries found by
    // walking them, entries the walk has confirmed); 0 for an entry only
    // read from a trailer or a side file.
    uint8_t* checked;
    uint32_t cap;  // entries held in the arrays: filled <= cap <= count
};

// off_cache_set_buf modes.
enum : int {
    OFF_CACHE_LOAD = 1,
    OFF_CACHE_COMPARE = 2,
    OFF_CACHE_STORE = 3,
};

int off_cache_init(off_cache* c, uint64_t file_len, uint32_t off_blksize, uint32_t block_len);
void off_cache_free(off_cache* c);
// Records entry `filled` when boff is its offset; an entry the arrays cannot
// grow to hold is left unknown.
void off_cache_add(off_cache* c, uint64_t boff, uint64_t foff);
// The nearest known pair at or below off, or (0, 0).
off_cache_entry off_cache_find(const off_cache* c, uint64_t off);
// 0; -2 when the entries do not fit the count or differ (compare); -1 when
// the arrays cannot grow to hold them.
int off_cache_set_buf(off_cache* c, int mode, uint32_t endian, void* buf, uint32_t len);
// Forgets every entry but entry 0: the index is not to be trusted, and the
// entries are found again by walking the records.
void off_cache_drop(off_cache* c);
// 1 when the len / 8 entries of buf (image byte order) strictly increase and
// lie in [64, end): entries that could point at records below end.
int off_entries_valid(const void* buf, uint64_t len, uint32_t endian, uint64_t end);

// ---- side file
struct side_writer {
    os_file_ctx* file;  // none while closed
    uint32_t count;     // entries in the file
    uint32_t endian;
    uint64_t step;
};

int write_cache_info_init(side_writer* w, const char* name, const uint8_t* guid, uint32_t endian, uint32_t off_blksize,
                          uint32_t block_len, int create);
// Adds the entry when boff is the next multiple of step: 0 (also when the
// offset is not the next one), -1 without a file or when the write fails.
int write_cache_info_set(side_writer* w, uint64_t boff, uint64_t foff);
// The entries of a side file (a new buffer for pl_free, none when empty)
// and their byte count; 0 or -1.
int write_cache_info_get(const char* name, const uint8_t* guid, uint8_t** entries, uint32_t* length);
void write_cache_info_close(side_writer* w);
// Keeps the first n entries of the file; 0 or -1.
int write_cache_info_keep(side_writer* w, uint32_t n);
// Appends raw entry bytes (image byte order) after the file's entries; 0 or -1.
int write_cache_info_append(side_writer* w, const void* entries, uint32_t length);

// ---- image-level index operations
int kxz_off_cache_init_form_file(kxz_image* img);
int kxz_off_cache_file(kxz_image* img, int mode);
// The trailer's entry bytes (a new buffer for pl_free) after the checks of
// kxz_off_cache_file: 0, -1 (read failure) or -2 (not a valid trailer).
int kxz_read_trailer(kxz_image* img, uint8_t** entries, uint32_t* length);
int kxz_write_trailer(kxz_image* img, const void* entries, uint32_t length);
int kxz_off_cache_fix_del(kxz_image* img);
int kxz_off_cache_verify(kxz_image* img);
int kxz_off_cache_save(kxz_image* img);
int64_t kxz_off_cache_test(kxz_image* img);
int kxz_has_trailer(const kxz_image* img);

// Growable byte buffer. The capacity is always a multiple of 4096; adding
// bytes grows it to twice what is needed. No terminator is kept.
#pragma once

#include <cstddef>
#include <cstdint>

struct mem_buf {
    uint8_t* data;
    size_t len;
    size_t cap;
};

inline constexpr size_t MEM_BUF_STEP = 4096;

// Every function returns 0, or -1 when memory runs out or a size does not fit
// (the buffer is then unchanged).
// Zeroes the record, then reserves first_size bytes when it is not 0.
int mem_buf_init(mem_buf* b, size_t first_size);
// Grows the capacity to n rounded up to a multiple of 4096; nothing when it
// already holds n.
int mem_buf_reserve(mem_buf* b, size_t n);
// Appends n bytes.
int mem_buf_add(mem_buf* b, const void* bytes, size_t n);
// Reserves n, then sets the length to n.
int mem_buf_set_len(mem_buf* b, size_t n);
int mem_buf_clear(mem_buf* b);
// Frees the data; length and capacity 0.
int mem_buf_exit(mem_buf* b);

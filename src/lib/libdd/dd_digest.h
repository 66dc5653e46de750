// Digests of the written data ("status=md5", "status=sha1"), computed on a
// thread of their own so that they overlap the copy's reads and writes. The
// bytes are digested in the order they were fed.
#pragma once

#include <cstddef>
#include <cstdint>

struct dd_digest;

// Starts the digests: MD5 and/or SHA-1. None when neither is asked for or
// the thread or buffers cannot be had (then *failed is set).
dd_digest* dd_digest_start(bool md5, bool sha1, bool* failed);
// Hands written bytes over; copies them, waiting for a free slot when all are busy.
void dd_digest_feed(dd_digest* d, const void* buf, size_t len);
// Digests of everything fed so far (16 and 20 bytes), the running digests
// going on. Any thread may ask while another feeds.
void dd_digest_peek(dd_digest* d, uint8_t* md5_out, uint8_t* sha1_out);
// Ends the thread and frees everything.
void dd_digest_stop(dd_digest* d);

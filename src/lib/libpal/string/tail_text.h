// Rolling text in a caller buffer: keeps the latest lines, dropping whole
// lines from the front to make room.
#pragma once

#include <cstddef>

struct tail_text {
    char* buf;    // the caller's buffer
    size_t size;  // its size
    size_t len;   // current length of the text
};

// Stores the buffer and empties it.
void tail_text_init(tail_text* t, char* buf, size_t size);
// Appends text. When it does not fit, the lines in front are dropped up to
// and including the first line break at which at least the text's length
// has been dropped. Returns 0, or -1 when no such line break exists (nothing
// added).
int tail_text_add(tail_text* t, const char* text);

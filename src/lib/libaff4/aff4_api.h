// The entry points of the AFF4 library ("libaff4.so", loaded at run time):
// the functions the "aff4" driver calls, and their types.
#pragma once

#include <cstdint>

extern "C" {
// The library's version text.
const char* AFF4_version(void);
// Starts the library; called once, before any other call.
void AFF4_init(void);
// Opens an image: a handle (>= 0), or a negative number with errno set.
int AFF4_open(const char* path);
// The size of the image's data stream in bytes.
uint64_t AFF4_object_size(int handle);
// Reads up to length bytes of the data stream at offset: the bytes read (0
// at the end), or a negative number with errno set.
int AFF4_read(int handle, uint64_t offset, void* buffer, int length);
// Closes a handle.
int AFF4_close(int handle);
// Optional: the text of the calling thread's last failure ("" when none).
// The driver uses it when the library has it, to say what failed (a missing
// part of a striped image, a damaged index); a library with only the six
// calls above works the same, with the errno text alone.
const char* AFF4_last_error(void);
}

using aff4_version_fn = decltype(&AFF4_version);
using aff4_init_fn = decltype(&AFF4_init);
using aff4_open_fn = decltype(&AFF4_open);
using aff4_object_size_fn = decltype(&AFF4_object_size);
using aff4_read_fn = decltype(&AFF4_read);
using aff4_close_fn = decltype(&AFF4_close);
using aff4_last_error_fn = decltype(&AFF4_last_error);

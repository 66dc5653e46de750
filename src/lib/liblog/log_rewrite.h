// Replacing the whole content of a log file that is being appended to, as
// the size caps of the text and capture log files do.
#pragma once

#include <cstddef>

// Makes head followed by body the content of path. The new content goes to
// a temporary file beside it, which then replaces the file in one rename, so
// a crash leaves either the old or the new content; the file's permission
// bits are kept (never group- or world-writable). Where no file can be made
// beside it, the content is written in place instead. 0, or -1 (errno set)
// with the file unchanged. The caller reopens its stream afterwards.
int log_file_replace(const char* path, const void* head, size_t head_len, const void* body, size_t body_len);

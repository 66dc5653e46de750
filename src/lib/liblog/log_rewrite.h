// Replacing the whole content of a log file that is being appended to, as
// the size caps of the text and capture log files do.
#pragma once

#include <cstddef>

// Makes head followed by body the content of path, in place: written over
// the start of the file, which is then cut to that length. The file keeps
// its inode, owner, group and mode. 0, or -1 (errno set). The caller
// repositions or reopens its stream afterwards.
int log_file_replace(const char* path, const void* head, size_t head_len, const void* body, size_t body_len);

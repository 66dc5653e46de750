// Path-normalising fopen, access and chdir.
#pragma once

#include <cstdio>

// fopen on a normalised copy of the path (at most 4096 bytes; a longer path
// fails with ENAMETOOLONG). A file it creates gets mode 0644 (less the
// umask), whatever umask the process runs with.
FILE* os_fopen(const char* path, const char* mode);
// access and chdir on a normalised copy of the path, failing the same way.
int os_access(const char* path, int mode);
int os_chdir(const char* path);

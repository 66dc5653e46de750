// Process environment: the running executable, environment variables.
#pragma once

#include <cstddef>

// Path of the running executable; 0 or -1.
int os_exe_get_name(char* buf, size_t size);
// Directory of the running executable (the path cut at its last "/"); 0 or -1.
int os_exe_get_dir(char* buf, size_t size);

// The arguments joined into one command line in buf: each argument followed
// by one blank (also the last), an argument holding a blank in double quotes.
// Arguments that no longer fit (the line is at most 4096 bytes and size) are
// left out whole. Returns buf.
char* os_argv_to_line(int argc, char* const* argv, char* buf, size_t size);

const char* os_getenv(const char* name);
int os_setenv(const char* name, const char* value, int overwrite);
int os_unsetenv(const char* name);

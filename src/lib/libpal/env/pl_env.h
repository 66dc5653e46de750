// Process environment: the running executable, environment variables.
#pragma once

#include <cstddef>

// Path of the running executable; 0 or -1.
int os_exe_get_name(char* buf, size_t size);
// Directory of the running executable (the path cut at its last "/"); 0 or -1.
int os_exe_get_dir(char* buf, size_t size);

const char* os_getenv(const char* name);
int os_setenv(const char* name, const char* value, int overwrite);
int os_unsetenv(const char* name);

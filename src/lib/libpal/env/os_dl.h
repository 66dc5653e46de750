// Run-time loading of shared libraries.
#pragma once

// Opens a library with lazy binding; nothing (and the loader's error text in
// os_dlerror) when it cannot be loaded.
void* os_dlopen(const char* name);
// os_dlopen with verb-level log lines ("dll=%s", and the error when it fails).
void* os_dlopen2(const char* name);
void* os_dlsym(void* dynamic, const char* name);
void os_dlclose(void* dynamic);
// The loader's last error text, or nothing.
const char* os_dlerror();

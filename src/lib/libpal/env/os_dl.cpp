#include "libpal/env/os_dl.h"

#include <dlfcn.h>

#include "libpal/basic/pl_assert.h"
#include "liblog/log2.h"

namespace {
// The loader's error text is taken once; it is kept here so that the logging
// of a failure does not lose it for the caller.
thread_local const char* t_dl_error = nullptr;
}  // namespace

void* os_dlopen(const char* name) {
    if (!PL_CHECK_TEXT("pal", name != nullptr, "name")) return nullptr;
    t_dl_error = nullptr;
    (void)dlerror();
    void* h = dlopen(name, RTLD_LAZY);
    const char* err = dlerror();
    if (err || !h) {
        t_dl_error = err;
        if (h) dlclose(h);
        return nullptr;
    }
    return h;
}

void* os_dlopen2(const char* name) {
    LOG2(LOG2_VERB, "pal", "dll=%s\n", name ? name : "");
    void* h = os_dlopen(name);
    if (!h) {
        LOG2(LOG2_VERB, "pal", "os_dlopen %s error: %s\n", name ? name : "", t_dl_error ? t_dl_error : "");
    }
    return h;
}

void* os_dlsym(void* dynamic, const char* name) {
    if (!PL_CHECK_TEXT("pal", dynamic && name, "dynamic && name")) return nullptr;
    return dlsym(dynamic, name);
}

void os_dlclose(void* dynamic) {
    if (!PL_CHECK_TEXT("pal", dynamic != nullptr, "dynamic")) return;
    dlclose(dynamic);
    const char* err = dlerror();
    PL_CHECK_TEXT("pal", err == nullptr, "!dlerror()");
}

const char* os_dlerror() {
    if (t_dl_error) {
        const char* e = t_dl_error;
        t_dl_error = nullptr;
        return e;
    }
    return dlerror();
}

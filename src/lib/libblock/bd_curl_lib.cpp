// The transfer library of the "curl" driver, loaded at run time: a program
// that never reads a URL does not pay for loading it and the libraries it
// depends on (the TLS, Kerberos and LDAP clients among them).
#include <mutex>
#include <type_traits>

#include "libblock/bd_curl_priv.h"
#include "libpal/env/os_dl.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

curl_api g_curl;

namespace {

constexpr const char* k_curl_lib = "libcurl.so.4";

// The library is loaded once per process; a failure is kept with its text,
// which every open reports in its error record (the log gets it at dbg:
// the open's own error line carries it).
std::once_flag g_load_once;
bool g_loaded = false;
char g_load_error[512];

// curl_global_init has run (and curl_global_cleanup has not), under its own
// lock: opens may come from more than one thread, and the registry's exit
// may run while no device is open.
std::mutex g_global_lock;
bool g_global_started = false;

// Each slot has the type the library's header declares for its entry point
// (the names in parentheses: the header may wrap some in checking macros).
// decltype names the declarations without referring to the library.
#define CURL_SLOT_TYPE_IS(slot, fn) static_assert(std::is_same_v<decltype(curl_api::slot), decltype(&(fn))>, #fn)
CURL_SLOT_TYPE_IS(global_init, curl_global_init);
CURL_SLOT_TYPE_IS(global_cleanup, curl_global_cleanup);
CURL_SLOT_TYPE_IS(easy_init, curl_easy_init);
CURL_SLOT_TYPE_IS(easy_cleanup, curl_easy_cleanup);
CURL_SLOT_TYPE_IS(easy_setopt, curl_easy_setopt);
CURL_SLOT_TYPE_IS(easy_getinfo, curl_easy_getinfo);
CURL_SLOT_TYPE_IS(easy_perform, curl_easy_perform);
CURL_SLOT_TYPE_IS(easy_strerror, curl_easy_strerror);
CURL_SLOT_TYPE_IS(multi_init, curl_multi_init);
CURL_SLOT_TYPE_IS(multi_cleanup, curl_multi_cleanup);
CURL_SLOT_TYPE_IS(multi_add_handle, curl_multi_add_handle);
CURL_SLOT_TYPE_IS(multi_remove_handle, curl_multi_remove_handle);
CURL_SLOT_TYPE_IS(multi_perform, curl_multi_perform);
CURL_SLOT_TYPE_IS(multi_info_read, curl_multi_info_read);
CURL_SLOT_TYPE_IS(multi_poll, curl_multi_poll);
#undef CURL_SLOT_TYPE_IS

template <typename Fn>
void take(void* dl, const char* name, Fn& slot, const char** missing) {
    slot = reinterpret_cast<Fn>(os_dlsym(dl, name));
    if (!slot && !*missing) *missing = name;
}

void load() {
    void* dl = os_dlopen2(k_curl_lib);
    if (!dl) {
        const char* why = os_dlerror();
        str_sprintf_s(g_load_error, sizeof g_load_error, "%s cannot be loaded: %s", k_curl_lib,
                      why && *why ? why : "unknown reason");
        LOG2(LOG2_DBG, "block2", "%s\n", g_load_error);
        return;
    }
    curl_api t{};
    const char* missing = nullptr;
    take(dl, "curl_global_init", t.global_init, &missing);
    take(dl, "curl_global_cleanup", t.global_cleanup, &missing);
    take(dl, "curl_easy_init", t.easy_init, &missing);
    take(dl, "curl_easy_cleanup", t.easy_cleanup, &missing);
    take(dl, "curl_easy_setopt", t.easy_setopt, &missing);
    take(dl, "curl_easy_getinfo", t.easy_getinfo, &missing);
    take(dl, "curl_easy_perform", t.easy_perform, &missing);
    take(dl, "curl_easy_strerror", t.easy_strerror, &missing);
    take(dl, "curl_multi_init", t.multi_init, &missing);
    take(dl, "curl_multi_cleanup", t.multi_cleanup, &missing);
    take(dl, "curl_multi_add_handle", t.multi_add_handle, &missing);
    take(dl, "curl_multi_remove_handle", t.multi_remove_handle, &missing);
    take(dl, "curl_multi_perform", t.multi_perform, &missing);
    take(dl, "curl_multi_info_read", t.multi_info_read, &missing);
    take(dl, "curl_multi_poll", t.multi_poll, &missing);
    if (missing) {
        str_sprintf_s(g_load_error, sizeof g_load_error, "%s lacks the entry point %s", k_curl_lib, missing);
        LOG2(LOG2_DBG, "block2", "%s\n", g_load_error);
        os_dlclose(dl);
        return;
    }
    // The library stays loaded to the end of the process: its global state
    // may be started again after a clean-up.
    g_curl = t;
    g_loaded = true;
    LOG2(LOG2_DBG, "block2", "loaded %s\n", k_curl_lib);
}

}  // namespace

int curl_lib_start(bd_dev* dev) {
    std::call_once(g_load_once, load);
    if (!g_loaded) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "%s", g_load_error);
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_global_lock);
    if (!g_global_started && g_curl.global_init(CURL_GLOBAL_ALL) == CURLE_OK) g_global_started = true;
    if (!g_global_started) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "curl_global_init failed");
        return -1;
    }
    return 0;
}

void curl_lib_stop() {
    std::lock_guard<std::mutex> lock(g_global_lock);
    if (g_global_started) g_curl.global_cleanup();
    g_global_started = false;
}

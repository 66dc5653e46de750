// A stand-in for the transfer library under its run-time name. It says on
// standard error when it is loaded, so a run shows whether it was. Built
// twice: without curl_easy_init (CURL_STUB_NO_EASY_INIT), and complete but
// with a curl_global_init that fails. No transfer ever reaches it.
#include <unistd.h>

#define CURL_STUB_API extern "C" __attribute__((visibility("default")))

namespace {
__attribute__((constructor)) void announce() {
    static const char text[] = "curl stub loaded\n";
    (void)!write(2, text, sizeof text - 1);
}
constexpr int k_failed_init = 2;  // CURLE_FAILED_INIT
}  // namespace

CURL_STUB_API int curl_global_init(long) { return k_failed_init; }
CURL_STUB_API void curl_global_cleanup() {}
#ifndef CURL_STUB_NO_EASY_INIT
CURL_STUB_API void* curl_easy_init() { return nullptr; }
#endif
CURL_STUB_API void curl_easy_cleanup(void*) {}
CURL_STUB_API int curl_easy_setopt(void*, int, ...) { return k_failed_init; }
CURL_STUB_API int curl_easy_getinfo(void*, int, ...) { return k_failed_init; }
CURL_STUB_API int curl_easy_perform(void*) { return k_failed_init; }
CURL_STUB_API const char* curl_easy_strerror(int) { return "stub"; }
CURL_STUB_API void* curl_multi_init() { return nullptr; }
CURL_STUB_API int curl_multi_cleanup(void*) { return 0; }
CURL_STUB_API int curl_multi_add_handle(void*, void*) { return 1; }
CURL_STUB_API int curl_multi_remove_handle(void*, void*) { return 1; }
CURL_STUB_API int curl_multi_perform(void*, int*) { return 1; }
CURL_STUB_API void* curl_multi_info_read(void*, int*) { return nullptr; }
CURL_STUB_API int curl_multi_poll(void*, void*, unsigned, int, int*) { return 1; }

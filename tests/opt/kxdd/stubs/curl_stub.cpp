// A stand-in for the transfer library under its run-time name. It says on
// standard error when it is loaded, so a run shows whether it was. Built
// twice: without curl_easy_init (CURL_STUB_NO_EASY_INIT), and complete but
// with a curl_global_init that fails. No transfer ever reaches it. Each entry
// point has the library header's own type, as the loader calls it through
// pointers of those types.
#include <unistd.h>

#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>

#define CURL_STUB_API extern "C" __attribute__((visibility("default")))

namespace {
__attribute__((constructor)) void announce() {
    static const char text[] = "curl stub loaded\n";
    (void)!write(2, text, sizeof text - 1);
}
}  // namespace

CURL_STUB_API CURLcode curl_global_init(long) { return CURLE_FAILED_INIT; }
CURL_STUB_API void curl_global_cleanup(void) {}
#ifndef CURL_STUB_NO_EASY_INIT
CURL_STUB_API CURL* curl_easy_init(void) { return nullptr; }
#endif
CURL_STUB_API void curl_easy_cleanup(CURL*) {}
CURL_STUB_API CURLcode curl_easy_setopt(CURL*, CURLoption, ...) { return CURLE_FAILED_INIT; }
CURL_STUB_API CURLcode curl_easy_getinfo(CURL*, CURLINFO, ...) { return CURLE_FAILED_INIT; }
CURL_STUB_API CURLcode curl_easy_perform(CURL*) { return CURLE_FAILED_INIT; }
CURL_STUB_API const char* curl_easy_strerror(CURLcode) { return "stub"; }
CURL_STUB_API CURLM* curl_multi_init(void) { return nullptr; }
CURL_STUB_API CURLMcode curl_multi_cleanup(CURLM*) { return CURLM_OK; }
CURL_STUB_API CURLMcode curl_multi_add_handle(CURLM*, CURL*) { return CURLM_BAD_HANDLE; }
CURL_STUB_API CURLMcode curl_multi_remove_handle(CURLM*, CURL*) { return CURLM_BAD_HANDLE; }
CURL_STUB_API CURLMcode curl_multi_perform(CURLM*, int*) { return CURLM_BAD_HANDLE; }
CURL_STUB_API CURLMsg* curl_multi_info_read(CURLM*, int*) { return nullptr; }
CURL_STUB_API CURLMcode curl_multi_poll(CURLM*, struct curl_waitfd[], unsigned int, int, int*) {
    return CURLM_BAD_HANDLE;
}

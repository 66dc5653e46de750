// Inside the client configuration: the client file of the process, opened
// for one call at a time.
#pragma once

#include <cstdint>

#include "libconf/ini/conf.h"

inline constexpr const char* KX_CONF_TAG = "kxcli";
inline constexpr const char* KX_CONF_SECTION = "conf";

// Closes the client file when the call ends.
struct kx_conf_file {
    conf_ctx* h = nullptr;
    kx_conf_file() = default;
    explicit kx_conf_file(conf_ctx* c) : h(c) {}
    ~kx_conf_file() { conf_close(h); }
    kx_conf_file(const kx_conf_file&) = delete;
    kx_conf_file& operator=(const kx_conf_file&) = delete;
    explicit operator bool() const { return h != nullptr; }
};

// Loads the client file; nothing when the path is not set or the file does
// not load. With create, a missing file is made (readable by its owner only).
conf_ctx* kx_conf_client_load(bool create);
// Saves the client file (readable by its owner only). 0 or -1 (logged).
int kx_conf_client_save(conf_ctx* h);

// "session/<name>" into sec (KX_URL_SIZE bytes); false (logged) when the
// name is absent, empty, too long, or holds what a section name cannot
// (a control character or "]").
bool kx_session_section(const char* name, char* sec);
// The URL of session name into out (KX_URL_SIZE bytes) and its kind (0 for
// an empty name, which gives an empty URL). 0 or -1 (logged).
int kx_session_url(const char* name, char* out, uint32_t* kind);

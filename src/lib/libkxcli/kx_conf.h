// Client configuration: saved sessions and aliases in device names, and
// the configured time-outs of URLs.
#pragma once

#include <cstddef>

inline constexpr size_t KX_URL_SIZE = 8192;

// Settles the configuration directory (the executable's directory).
int kx_conf_set_path(const char* dir);
// Adds "connect_timeout", "read_timeout" and "write_timeout" where the URL
// (an 8192-byte buffer) lacks them.
int kx_conf_url_add_timeout(char* url);
// Turns a session alias into its real URL; other names are copied
// unchanged. out is an 8192-byte buffer. -1 when a session cannot be read.
int url_conf_2_real(const char* url, char* out);

// Proxy settings: the record that names one HTTP, SOCKS4 or SOCKS5 proxy,
// the named proxies of the proxy file, and the choice of the proxy for one
// connection.
//
// The proxy file is an ini file (exported as KX_PROXY_FILE by the client
// configuration): one section per named proxy with the keys "proto", "ip",
// "port", "user" and "pwd" (the password's bytes as upper-case hexadecimal).
// Every function opens the file, does its work and closes it again.
//
// Log tag "net". No shared state.
#pragma once

#include <cstddef>
#include <cstdint>

struct verr_info;
struct str_vector;

// Proxy kinds.
enum : uint32_t {
    CONF_PROXY_NONE = 0,
    CONF_PROXY_HTTP = 1,    // "http": HTTP CONNECT
    CONF_PROXY_SOCKS4 = 2,  // "socks4"
    CONF_PROXY_SOCKS5 = 3,  // "socks5"
};

// Size of the name buffer of conf_proxy_name_by_idx.
inline constexpr size_t CONF_PROXY_NAME_SIZE = 256;

struct conf_proxy {
    uint32_t kind;  // CONF_PROXY_*
    char proto[32];
    char ip[1024];  // host name or address of the proxy
    uint32_t port;
    char user[4096];
    char pwd[4096];  // plain text
};

// Chooses the proxy of one connection: a non-empty proxy URL, else a
// non-empty proxy name looked up in the file KX_PROXY_FILE, else the
// environment variable http_proxy, unless the host of the connection (when
// given) is one that no_proxy (or NO_PROXY) lets go direct. Returns 0 with
// the record filled, 1 when no proxy applies (record untouched), -1 with
// the error record filled (the record untouched). Passwords never appear in
// logs or error messages.
int conf_proxy_get(const char* proxy_url, const char* proxy_name, conf_proxy* proxy, verr_info* err,
                   const char* host = nullptr);
// Whether a host goes direct by a no_proxy list: entries separated by
// commas or blanks; "*" for every host; a name, which also takes its
// subdomains (a leading "." or "*." is the same name); an IPv4 or IPv6
// address (brackets allowed); or an address range "address/bits".
// Names compare without regard to case.
bool conf_proxy_bypass(const char* host, const char* list);
// Loads the proxy name from file into the record, and its URL text into
// url_text (8192 bytes; may be none): "proto://user:password@ip:port", or
// "proto://ip:port" unless user and password are both set. 0, or -1 with
// the error record (when given) filled.
int conf_proxy_load(const char* file, const char* name, conf_proxy* proxy, char* url_text, verr_info* err);
// Kind of a protocol word ("http", "socks4", "socks5"), or -1 with code -2
// "proxy protocol [%s] Unsupported\n" in the error record (when given).
int conf_proxy_2_id(const char* proto, verr_info* err);
// Protocol word of a kind; "unkown" outside 1 to 3.
const char* conf_proxy_id_2_str(uint32_t kind);

// Functions over the proxy file of the client configuration
// (kx_conf_proxy_path).
// The section names (str_vector_free), or none when the file does not load.
str_vector* conf_proxy_list();
// conf_proxy_load of a named proxy, giving only its URL text (8192 bytes).
int conf_proxy_load_name(const char* name, char* url_text, verr_info* err);
// The name of the n-th section, counted from 1, into name
// (CONF_PROXY_NAME_SIZE bytes); empty when n is 0 or too large. 0, or -1
// when the file does not load or the name does not fit.
int conf_proxy_name_by_idx(uint32_t n, char* name);
// conf_proxy_name_by_idx, then conf_proxy_load of that name.
int conf_proxy_load_by_idx(uint32_t n, conf_proxy* proxy, char* url_text, verr_info* err);
// Writes the record as section name of file (created when missing): the
// save's result, or -1 (a password of more than 127 bytes cannot be stored).
int conf_proxy_save(const char* file, const char* name, const conf_proxy* proxy);
// Renames section old_name to new_name when old_name is not empty and
// differs, then saves the record under new_name. 0 or -1.
int conf_proxy_rename_save(const char* old_name, const char* new_name, const conf_proxy* proxy);

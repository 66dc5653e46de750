// Client configuration: where the user's client settings live, the
// configured network time-outs of device URLs, and saved sessions, which
// turn the alias "///" + session name + "/" + path into a real URL.
//
// The client file is an ini file in the configuration directory
// (KX_ENV_CONF_DIR, else the executable's directory): "kxta-gui-user.ini"
// when it is a regular file, else "kx_client.ini". Section "conf" holds
// "connect_timeout", "read_timeout", "write_timeout" and "cache_dir"; a
// saved session is the section "session/<name>". Every function opens the
// client file, does its work and closes it again. Files this code creates
// are readable by their owner only: sessions hold passwords.
//
// Log tag "kxcli". One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of a URL buffer of the functions below.
inline constexpr size_t KX_URL_SIZE = 8192;
// Size of the process-wide file paths.
inline constexpr size_t KX_CONF_PATH_SIZE = 4096;

// Kinds of saved sessions (the "prot" key).
enum : uint32_t {
    KX_SESSION_LOC = 2,  // "loc": local storage; the alias names a local path
    KX_SESSION_NET = 3,  // "net": the network entry; no device can be opened on it
    KX_SESSION_KXP = 4,  // "kxp": a remote storage server
};

// One saved session in memory. Texts longer than their field are cut,
// except those that go into the session's URL (see conf_client_get_info).
struct conf_client_info {
    uint32_t kind;  // KX_SESSION_*
    char name[256];
    uint8_t use_ssl;  // 1: "kxps://", 0: "kxp://"
    char ip[256];     // an IPv6 address is written with "_" for every ":"
    char port[32];
    char user[256];
    char pwd[256];
    char bs[8];
    char fmod[4];
    char dmod[4];
    char proxy[256];  // a section of the proxy file
};

// ----------------------------------------------------------- start-up, "conf"

// Fixes the client and proxy file paths for the process (in KX_ENV_CONF_DIR
// when it is set and not empty, else in dir, the executable's directory) and
// exports KX_PROXY_FILE and KX_CACHE ("cache_dir" of section "conf", else
// dir/var/cache), replacing earlier values. Returns 0, or -1 when a path
// does not fit (the files are then not read).
int kx_conf_set_path(const char* dir);
// The paths fixed by kx_conf_set_path (empty before it).
const char* kx_conf_client_path();
const char* kx_conf_proxy_path();

// The value of key in section "conf" (default: KX_CACHE for "cache_dir",
// else empty), normalised as a path, into out. Returns 0, or -1 when it does
// not fit (out empty).
int kx_conf_get_str(const char* key, char* out, size_t size);
// The value of key in section "conf"; default 6, 15 or 8 for
// "connect_timeout", "read_timeout" and "write_timeout", 0 for other keys.
int kx_conf_get_int(const char* key);
// Set key in section "conf" and save (creating the file). 0 or -1.
// Setting "cache_dir" also sets KX_CACHE.
int kx_conf_set_int(const char* key, int value);
int kx_conf_set_str(const char* key, const char* value);

// Adds "connect_timeout", "read_timeout" and "write_timeout" (section
// "conf", else 6, 15, 8) to url, an 8192-byte buffer, where it lacks them.
// Returns 0, or -1 when an edit does not fit (that key is not added).
int kx_conf_url_add_timeout(char* url);

// -------------------------------------------------------------------- sessions

// Reads session name into info. 0, or -1 (logged) when the file cannot be
// loaded, the session is missing, has no or an unknown "prot", is a kxp
// session without "ip", or a text that goes into its URL (name, ip, port,
// user, pwd, proxy) does not fit its field.
int conf_client_get_info(const char* name, conf_client_info* info);
// The URL of a session: "loc://", "net://<name>", or
// kxp[s]://[user[:pwd]@]host[:port][?proxy=...]. User and password are
// percent-encoded ("%", "@", ":", "/", "?", "#", "\", blanks and control
// characters), so that the URL always names the session's own host; the
// remote client decodes them. Returns 0; -1 for an unknown kind (out
// untouched), an ip or port that would change the URL's authority, or a
// result that does not fit size (out empty).
int conf_client_info_2_url(const conf_client_info* info, char* out, size_t size);
// conf_client_get_info + conf_client_info_2_url into out (KX_URL_SIZE bytes).
// An empty or absent name gives an empty out and 0.
int conf_client_get_url(const char* name, char* out);
// Calls fn(arg, name, kind) for every valid saved session except
// "_Quick_Connection", after (re)writing the fixed sessions "localhost"
// ("loc") and "network" ("net"). 0 or -1.
int conf_walk_item(void (*fn)(void* arg, const char* name, uint32_t kind), void* arg);
// Writes a "net" or "kxp" session and saves. 0, or -1 for another kind, an
// empty name, a text holding a control character (it would break the file),
// or a failed load or save.
int conf_client_set_info(const conf_client_info* info);
// 1 when the session exists, 0 when not, -1 when the file does not load.
int conf_client_is_exist(const char* name);
// Deletes a session and saves. 0, or -1 when it is missing or the file does
// not load or save.
int conf_client_del(const char* name);
// Renames session old_name to new_name and saves. 0, or -1 when new_name
// exists, old_name does not, or the file does not load or save.
int conf_client_copy_move(const char* old_name, const char* new_name);

// --------------------------------------------------------------------- aliases

// Splits "///name/path" (after trimming and turning "\" into "/") into name
// and path (KX_URL_SIZE bytes each). With keep_slash the path keeps its
// leading "/" (empty when there is none); without, it loses it ("/" when
// there is none). Another text gives an empty name and the whole text as
// path. Returns 0, or -1 when url does not fit.
int url_conf_split(const char* url, char* name, char* path, int keep_slash);
// The real URL of a device name into out (KX_URL_SIZE bytes): an alias
// becomes its session's URL with the alias path (and query) added, a local
// ("loc") session's alias the bare path; any other name is copied, trimmed
// and with "\" turned into "/". Returns 0, or -1 (logged) when the session
// cannot be read, is the network entry, the result is empty or does not fit.
int url_conf_2_real(const char* url, char* out);
// url_conf_2_real with the result back in url (KX_URL_SIZE bytes); url is
// unchanged on failure.
int url_conf_2_real_inplace(char* url);

// Password forms and login keys of the remote storage login.
//
// The login never sends a password in plain text: the older method sends the
// "{SHA}" form, the challenge method a login key made from the user, the
// password and a certificate text the server hands out. Account values may
// be enciphered with a login key. The server's account checks are in
// libpwd/pwd_account.h.
#pragma once

#include <cstddef>
#include <cstdint>

// "{SHA}" plus the base64 text of a 20-byte digest.
inline constexpr size_t LIBPWD_SHA_PWD_LEN = 33;
// A login key: 40 lower-case hexadecimal characters; with the NUL, 41 bytes.
inline constexpr size_t LIBPWD_KEY_LEN = 40;
inline constexpr size_t LIBPWD_KEY_SIZE = LIBPWD_KEY_LEN + 1;
// The fixed salt at the head of every login key's input. Client and server
// must agree on it: never change it.
inline constexpr char LIBPWD_KEY_SALT[] = "QKZTW";

// The "{SHA}" form of a password into out (size bytes): "{SHA}" and the
// base64 text of the SHA-1 digest of the password's bytes. An absent or
// empty password gives the empty text. A buffer below 34 bytes leaves out
// empty (with an assertion line). Returns out.
char* libpwd_sha_pwd(const char* pwd, char* out, size_t size);
// The "{SHA}" form in a new text (pl_free), or nothing.
char* libpwd_sha_pwd_dup(const char* pwd);

// The login key: lower-case hexadecimal SHA-1 of salt, user, password and
// cert concatenated (absent texts count as empty). The version is not used.
// A buffer below 41 bytes leaves out empty with an assertion line. Returns 0.
int libpwd_build_key(const char* user, const char* pwd, int version, const char* cert, char* out, size_t size);

// Enciphers a value: RC4 keyed with the key text over the value's bytes,
// then base64. 0, or -1 with an empty out when the key is empty or the text
// does not fit.
int libpwd_encrypt(const char* value, const char* key, char* out, size_t size);
// Undoes libpwd_encrypt: base64-decodes into out and deciphers in place.
// 0, or -1 with an empty out when nothing comes out or the decoded bytes
// leave no room for the terminator.
int libpwd_decrypt(const char* text, const char* key, char* out, size_t size);

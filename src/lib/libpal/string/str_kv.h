// Key=value texts: reading one key from a list of fields, splitting a field.
#pragma once

#include <cstddef>
#include <string_view>

// Looks up key in text, whose fields are separated by any character of seps
// and split into key and value at their first kv character. Empty fields and
// fields without the kv character are skipped. The key part is compared,
// trimmed of white space, with regard to case; the value of the first
// matching field (further kv characters included) is trimmed and strictly
// copied into out. Returns 0, or -1 when the key is absent, an argument is
// absent or the value does not fit out (out then empty, with the overflow
// line of the strict copy).
int str_kv_get(const char* text, const char* seps, char kv, const char* key, char* out, size_t size);
// The lookup of str_kv_get without a copy: true with *val set to the trimmed
// value (a view into text) when the key is present.
bool str_kv_find(std::string_view text, const char* seps, char kv, std::string_view key, std::string_view* val);
// Strict copy of a text that need not be terminated: 0, or -1 with the
// strict copy's overflow line ("need_size=%d buf_size=%u head=[%s]"), the
// assertion hook, errno ERANGE and an empty out when it does not fit.
int str_view_safecopy(std::string_view src, char* out, size_t size);
// str_kv_get with "=" between key and value.
int str_kv_get_eq(const char* text, const char* seps, const char* key, char* out, size_t size);

// The n-th field (from 0) of text cut at any character of seps, copied into
// out; nothing when the text has fewer fields or the field with its
// terminator exceeds size.
char* str_get_field(const char* text, const char* seps, size_t n, char* out, size_t size);
// Field 0 into key and field 1 into val (so a second separator ends the
// value). Returns 0 or -1.
int str_get_key_and_val(const char* text, const char* seps, char* key, size_t key_size, char* val, size_t val_size);

// Key=value texts: reading one key from a list of fields, splitting a field,
// rewriting one key in place, and boolean words.
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

// str_kv_get with fields separated by carriage returns and line feeds, "=".
int str_kv_get_crlf(const char* text, const char* key, char* out, size_t size);
// The value of key in a reply of "key=[value]" lines: the part between the
// value's first "[" and its last "]". Returns 0, or -1 when the key or a
// bracket is missing or the part with its terminator exceeds size.
int str_kv_get_bracket(const char* text, const char* key, char* out, size_t size);
// str_kv_get, then a value framed by single quotes, double quotes, or "["
// and "]" loses its first and last character.
int str_kv_get_unquote(const char* text, const char* seps, char kv, const char* key, char* out, size_t size);
// str_kv_get_unquote with line-feed separators and "=".
int str_kv_get_unquote_lf(const char* text, const char* key, char* out, size_t size);
// The trimmed key of the first field whose trimmed value equals val (fields
// without the kv character skipped), strictly copied into out. Returns 0 or -1.
int str_kv_find_key(const char* text, const char* seps, char kv, const char* val, char* out, size_t size);

// Edit modes of str_kv_set (the values of the URL query edit modes).
enum : int {
    STR_KV_SET_ALWAYS = 1,     // replace every field of the key, or add it when absent
    STR_KV_SET_NOT_EXIST = 2,  // add the key only when absent
    STR_KV_SET_EXIST = 3,      // replace the value only when the key is present
    STR_KV_DEL_EXIST = 4,      // remove every field of the key
};
// Rewrites the "key=value" fields of text (a buffer of size bytes) in place:
// the text is cut at any character of sep (empty fields dropped) and written
// back joined by sep. A field matches when it starts with key and "=".
// Returns 0, or -1 with the text unchanged when the result would not fit
// size, the mode is unknown, the key is empty or holds "=" or a separator, or
// the value holds a separator.
int str_kv_set(char* text, size_t size, const char* sep, int mode, const char* key, const char* val);
// Appends "&" when out is not empty, then "key=value" with the value
// percent-encoded as a URL query value. Returns 0, or -1 with out unchanged
// when it does not fit.
int str_args_add(char* out, size_t size, const char* key, const char* val);

// 1 for a true word (true, t, yes, y, on, up, running, enabled, available),
// 0 for a false word (false, f, no, n, off, down, unused, disabled,
// unavailable), compared after lower-casing; -1 otherwise (a text of 16
// characters or more is logged as an overflow).
int str_to_bool(const char* text);

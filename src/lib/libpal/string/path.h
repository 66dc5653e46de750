// Paths: normalisation and small path functions. Paths are at most
// PATH_SIZE bytes with their terminator.
//
// A backslash is a legal character in Linux file names, but paths reach the
// system from users, configuration files and URLs written in several forms,
// so the normaliser treats "\" as a separator and turns it into "/".
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t PATH_SIZE = 4096;

// In place: trims white space, quotes, white space (stopping at bytes from
// 0x80, so UTF-8 names keep their ends); "\" becomes "/"; a leading
// lower-case "file://" is removed; runs of "/" become one. Returns path.
char* path_normalize(char* path);
// In place: a local file name as the system takes it. Only a leading
// lower-case "file://" is removed and runs of "/" become one; blanks,
// quotes and backslashes are part of a Linux file name. Returns path.
char* path_normalize_local(char* path);
// Strict copy of src into buf, then path_normalize; nothing when it does not fit.
char* path_normalize_copy(const char* src, char* buf, size_t size);
// In place: the other separator becomes sep ("/" or "\"), then runs of sep become one.
char* path_set_sep(char* path, char sep);
char* path_to_slash(char* path);
// The text after the last "/" or "\"; the whole text when there is none.
const char* path_get_name(const char* path);
// In place: cut after the last "/" or "\" (the directory keeps its separator);
// unchanged when there is none.
char* path_cut_name(char* path);
// 1 for "/x", "\x", "~x", "c:x" and texts holding "://" or ":\\"; else 0.
int path_is_absolute(const char* path);
// 1 when both are equal after path_normalize.
int path_is_same(const char* a, const char* b);
// 1 when the directory parts (empty for a bare name) are equal after path_normalize.
int path_is_same_dir(const char* a, const char* b);
// 1 for "\", "\\", "\\\", "\\.\" and "\\?\" (either separator).
int path_is_root(const char* path);
// In place: wraps a path holding a blank, a tab or ";" in double quotes unless
// it starts with one; an empty path becomes two double quotes. Nothing (path
// unchanged) when the result does not fit size.
char* path_quote(char* path, size_t size = PATH_SIZE);
// The canonical absolute path into buf (PATH_SIZE bytes), or nothing.
char* path_realpath(const char* path, char* buf);
// In place on wide characters: "/" becomes "\", runs of "\" become one. Returns 1.
int path_wide_to_backslash(uint32_t* path);

// Configuration files: one small interface over back ends chosen by the
// file name. Values are texts addressed by section and key; sections and
// keys keep their letter case and are compared exactly. Changes stay in
// memory until conf_save.
//
// The only back end is the ini back end (names ending in ".ini" or ".kxi").
// Comment and blank lines survive a load and a save; a UTF-8 byte-order
// mark is skipped on reading and written on saving. A save writes a
// temporary file beside the old one and renames it over it, so a failed
// save leaves the old file as it was.
//
// A handle is used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

struct str_vector;
struct str_map;

// One table per back end; every slot gets the back end's object first.
struct conf_ops {
    // 0 when the back end takes the path.
    int (*probe)(const char* path);
    // The back end's object, or nothing. create: make a missing file.
    void* (*open)(const char* path, int create);
    int (*close)(void* obj);
    // The value (owned by the object) or def.
    const char* (*get)(void* obj, const char* section, const char* key, const char* def);
    // 0 or -1.
    int (*set)(void* obj, const char* section, const char* key, const char* value);
    // New string vectors (str_vector_free); nothing when none can be made.
    str_vector* (*sections)(void* obj);
    str_vector* (*keys)(void* obj, const char* section);
    // 0, or -2 when there was nothing to delete.
    int (*del_section)(void* obj, const char* section);
    // 0 or -1 when absent.
    int (*unset)(void* obj, const char* section, const char* key);
    // 0, -1 when new_name exists, -2 when old_name does not.
    int (*rename_section)(void* obj, const char* old_name, const char* new_name);
    // 0, or a negative status.
    int (*rename_key)(void* obj, const char* section, const char* old_key, const char* new_key);
    // Writes the file text to standard output. 0 or -1.
    int (*dump)(void* obj);
    // 0 or -1.
    int (*save)(void* obj);
};

// The handle a caller holds.
struct conf_ctx {
    void* obj;
    const conf_ops* ops;
};

// Opens a configuration file through the first back end that takes the
// path; nothing when none does, when the file is missing or unreadable, or
// when it does not parse. conf_create_load makes a missing file (only a
// missing one: an existing unreadable file is never touched).
conf_ctx* conf_load(const char* path);
conf_ctx* conf_create_load(const char* path);
conf_ctx* conf_load_imp(const char* path, int create);
// Closes the back end's object and frees the handle. 0 (also for nothing).
int conf_close(conf_ctx* h);

// The stored value, or def when the key is absent. The value belongs to the
// handle and lives until that entry changes or the handle is closed.
const char* conf_get_string(conf_ctx* h, const char* section, const char* key, const char* def);
// Creates a missing section. 0, or -1 (no handle, a failed allocation, or a
// name or value a file cannot hold: a line break in any of them, "=" in a
// key or a key starting with "[", ";" or "#", "]" in a section name, an
// empty key).
int conf_set_string(conf_ctx* h, const char* section, const char* key, const char* value);
// Section names in storage order (file order for a freshly loaded file);
// the caller frees the vector with str_vector_free. Nothing on failure.
str_vector* conf_get_sections(conf_ctx* h);
// Key names of a section in storage order; empty when it has none.
str_vector* conf_get_keys(conf_ctx* h, const char* section);
// Removes the section and its keys: 0, or -2 when nothing matched.
int conf_del_section(conf_ctx* h, const char* section);
// 0, or -1 when the key is absent.
int conf_unset_key(conf_ctx* h, const char* section, const char* key);
// 0; -1 when new_name exists (nothing changes); -2 when old_name does not.
int conf_rename_section(conf_ctx* h, const char* old_name, const char* new_name);
// 0; -1 when new_key exists or old_key does not (nothing changes).
int conf_rename_key(conf_ctx* h, const char* section, const char* old_key, const char* new_key);
// Writes the file text (as conf_save would) to standard output.
int conf_dump(conf_ctx* h);
// Writes the file: 0, or -1 when any step failed (the old file is kept).
int conf_save(conf_ctx* h);

// The section names that match a wildcard pattern (str_wildcard: "*", "?",
// "|" between alternatives), in storage order. Nothing on failure.
str_vector* conf_get_sections_match(conf_ctx* h, const char* pattern);
// The value read like atol (leading digits, 0 when there are none); def
// when the key is absent or holds the text "NOT_FOUND".
int32_t conf_get_int(conf_ctx* h, const char* section, const char* key, int32_t def);
// Stores the value as "%d".
int conf_set_int(conf_ctx* h, const char* section, const char* key, int32_t value);
// 1 when the section exists, else 0.
int conf_section_exist(conf_ctx* h, const char* section);
// 1 when the key exists, else 0.
int conf_key_exist(conf_ctx* h, const char* section, const char* key);

// Path forms: "section<TAB>key", or "section:key" when there is no TAB (the
// first separator splits; the section part is at most 8191 characters). A
// path with neither gives def (get) or -1 without a change (set).
const char* conf_get_string_path(conf_ctx* h, const char* path, const char* def);
int32_t conf_get_int_path(conf_ctx* h, const char* path, int32_t def);
int conf_set_string_path(conf_ctx* h, const char* path, const char* value);
int conf_set_int_path(conf_ctx* h, const char* path, int32_t value);

// Numbered lists: a section whose keys are "0", "1", ...
// The values of the all-digit keys in storage order (empty vector when there
// are none); nothing only when no vector can be made.
str_vector* conf_get_list(conf_ctx* h, const char* section);
// Unless present, appends the value; the list is written back as "0" upwards.
int conf_list_add(conf_ctx* h, const char* section, const char* value);
// Removes every copy of the value; the rest is written back as "0" upwards
// and no key beyond the new count remains.
int conf_list_del(conf_ctx* h, const char* section, const char* value);
// Unsets every all-digit key of the section.
int conf_list_clear(conf_ctx* h, const char* section);
// A text map of the section's keys to their values (str_map_free), or nothing.
str_map* conf_get_map(conf_ctx* h, const char* section);

// Loads file, copies the value of the path form (or def) into buf (at most
// size-1 characters, cut), and closes. The default when the load fails.
// 0 when the value came from the file, -1 otherwise.
int conf_read_string(const char* file, const char* path, const char* def, char* buf, size_t size);

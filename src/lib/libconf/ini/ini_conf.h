// The ini back end of the configuration interface: files whose names end in
// ".ini" or ".kxi" (letters compared without regard to case).
#pragma once

#include "libconf/ini/conf.h"

struct dictionary;

struct ini_conf_obj {
    char* path;  // normalised copy of the file's path
    dictionary* dict;
};

// The back end's table.
const conf_ops* ini_conf_get_ops();

int ini_conf_probe(const char* path);
// The file must exist and read; with create, only a missing file (ENOENT)
// is created, empty and readable by its owner only.
void* ini_conf_open(const char* path, int create);
int ini_conf_close(void* obj);
const char* ini_conf_get(void* obj, const char* section, const char* key, const char* def);
int ini_conf_set(void* obj, const char* section, const char* key, const char* value);
str_vector* ini_conf_sections(void* obj);
str_vector* ini_conf_keys(void* obj, const char* section);
int ini_conf_del_section(void* obj, const char* section);
int ini_conf_unset(void* obj, const char* section, const char* key);
int ini_conf_rename_section(void* obj, const char* old_name, const char* new_name);
int ini_conf_rename_key(void* obj, const char* section, const char* old_key, const char* new_key);
int ini_conf_dump(void* obj);
// Writes "<path>.XXXXXX" beside the file (byte-order mark, then the text),
// every write checked, fsync and close checked, then renames it over the
// file; a symbolic link stays a link and the file behind it is replaced.
// The new file is readable by its owner only, or keeps the old file's mode
// when that is stricter, and keeps the old file's owner where allowed. A
// file the caller may not write is not replaced. 0, or -1 with the old file
// left as it was.
int ini_conf_save(void* obj);

// The entries of an ini file: a section is the entry whose key is its name
// and whose value is none; a key of a section is the entry "section", TAB,
// "key" (keys before any section have the empty section name). Entries keep
// their storage order, which is the file order: a new entry always goes
// after every existing one. Each entry keeps the comment and blank lines
// that stood in front of it in the file; the lines after the last entry are
// the tail comment. Keys keep their letter case and are compared exactly.
#pragma once

#include <cstdint>
#include <cstdio>

struct dict_ctx;

struct dict_entry {
    char* key;
    char* value;    // none for a section entry
    char* comment;  // the lines in front of the entry, each ending in a line break; or none
    dict_entry* prev;
    dict_entry* next;
};

struct dictionary {
    int32_t n;           // entries
    dict_entry* head;    // storage order
    dict_entry* last;
    dict_ctx* index;     // key -> entry (keys borrowed from the entries)
    char* tail_comment;  // lines after the last entry, or none
};

dictionary* dictionary_create();
void dictionary_free(dictionary* d);
// The entry of a key, or nothing.
dict_entry* dictionary_find(const dictionary* d, const char* key);
// The value of a key (nothing for a section entry), or def when absent.
const char* dictionary_lookup(const dictionary* d, const char* key, const char* def);
// The comment in front of a key's entry, or nothing.
const char* dictionary_lookup_comment(const dictionary* d, const char* key);
// Stores copies of value and comment under key. An existing entry gets the
// new value and keeps its comment (the given one is not used): 1. A new
// entry goes last: 0. -1 when a copy cannot be made (nothing changes).
int dictionary_put(dictionary* d, const char* key, const char* value, const char* comment);
// dictionary_put without a comment.
int dictionary_put_value(dictionary* d, const char* key, const char* value);
// 0 or -1 (copy failed, the old tail comment is kept).
int dictionary_set_tail_comment(dictionary* d, const char* comment);
// Removes an entry with its value and comment: 0, or -1 when absent.
int dictionary_remove(dictionary* d, const char* key);
// Renames one entry, keeping its place, value and comment: 0, or -1 when
// old_key is absent, new_key exists or a copy cannot be made.
int dictionary_rename(dictionary* d, const char* old_key, const char* new_key);
// Removes the section entry and every entry of its keys: 0, or -2 when
// nothing matched.
int dictionary_secremove(dictionary* d, const char* section);
// Renames a section and the entries of its keys. -1 (logged) when an entry
// named new_name exists or a copy cannot be made (nothing changes); 0 when
// any entry changed, else -2.
int dictionary_secrename(dictionary* d, const char* old_name, const char* new_name);
// "empty dictionary\n", or one "%20s\t[%s]\n" line per entry ("UNDEF" for none).
void dictionary_print(const dictionary* d, FILE* out);
// The length of the section part of a key: up to the first TAB; the whole
// key for a section entry.
size_t dictionary_section_len(const char* key);

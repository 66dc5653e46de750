// State texts of the digest contexts: every field of a context record printed
// as a hexadecimal number, in record order, joined by ",".
//
// Used by the digest files of this directory only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// One run of equal fields inside a record: count fields of width bytes
// (1, 4 or 8) starting offset bytes into the record.
struct digest_field {
    size_t offset;
    uint8_t width;
    uint16_t count;
};

// The longest state text of the digests, terminator included.
inline constexpr size_t DIGEST_TEXT_MAX = 640;

// Writes the text of rec into text (cleared first); a buffer too small keeps
// the beginning of the text, terminated. Returns 0, or -1 when text is
// absent or size is 0.
int digest_text_get(const void* rec, std::span<const digest_field> fields, char* text, size_t size);

// Parses text into rec. Every field must be a non-empty run of hexadecimal
// digits whose value fits the field's width, and the number of fields must be
// exactly that of the table. Returns 0, or -1 with rec in an unspecified
// state (callers parse into a scratch copy).
int digest_text_set(void* rec, std::span<const digest_field> fields, const char* text);

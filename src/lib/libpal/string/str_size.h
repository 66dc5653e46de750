// Sizes, counts, numbers and versions as texts: the size parser with its
// suffix table, short human texts for sizes, speeds, counts and durations,
// the general number parser, separated number lists and dotted versions.
#pragma once

#include <cstddef>
#include <cstdint>

// One row of a size suffix table; a table ends with a row without a name.
struct size_suffix {
    const char* name;
    uint64_t mult;
};

// The suffixes of dd-style sizes, in search order. Names match without
// regard to case, so the "KB".."K" rows are shadowed by "kB".."k".
inline constexpr size_suffix str_size_suffixes[] = {
    {"c", 1ULL},
    {"w", 2ULL},
    {"b", 512ULL},
    {"kB", 1000ULL},
    {"kD", 1000ULL},
    {"k", 1024ULL},
    {"KB", 1000ULL},
    {"KD", 1000ULL},
    {"K", 1024ULL},
    {"MB", 1000000ULL},
    {"MD", 1000000ULL},
    {"M", 1ULL << 20},
    {"GB", 1000000000ULL},
    {"GD", 1000000000ULL},
    {"G", 1ULL << 30},
    {"TB", 1000000000000ULL},
    {"T", 1ULL << 40},
    {"PB", 1000000000000000ULL},
    {"P", 1ULL << 50},
    {nullptr, 0},
};

// Size text ("2k", "1.5M", "4b", "1e3k") to a byte count; 0 for an unusable
// text (absent, empty, longer than 256 characters, starting with a blank or
// a sign, unknown suffix, 2^64 or more).
uint64_t str_to_size(const char* text);
uint64_t str_to_size_imp(const char* text, const size_suffix* table);
// The same reading for texts that must be valid in full (command-line
// operands): the number part must be read completely and the value must fit.
// 0 with *out set, or -1 with *out untouched. "0" is valid.
[[nodiscard]] int str_to_size_checked(const char* text, uint64_t* out);

// Bytes to a short text: with divisor 0 in steps of 1024 ("1.5K", "16.0E"),
// otherwise the value divided by divisor, rounded. Value 0 gives the constant
// text "0" without writing the buffer.
const char* size_to_text_buf(uint64_t value, uint32_t divisor, char* buf, size_t size);
// size_to_text_buf into a 21-byte text of the calling thread; the next call
// on the same thread overwrites it.
const char* size_to_text(uint64_t value, uint32_t divisor);
// Bytes per second: "%0.3fGB/S", "%0.2fMB/S", "%0.1fKB/S" or "%0.0fB/S".
char* speed_to_text(char* buf, size_t size, double bytes_per_sec);
char* count_to_text(uint64_t count, char* buf, size_t size);
// Durations: "1 day 2 hours 3 minutes", "59.250 seconds".
char* str_seconds_text(char* buf, size_t size, double seconds);
// "mm:ss", "hh:mm:ss", "d_hh:mm:ss".
char* str_seconds_clock(char* buf, size_t size, double seconds);
// "1 year 2 months 3 days 4 hours ".
char* str_hours_text(uint64_t hours, char* buf, size_t size);

// Kinds of num_parse_result.
enum : uint32_t {
    NUM_KIND_INT = 6,
    NUM_KIND_FLOAT = 18,
};

struct num_parse_result {
    uint32_t kind;  // NUM_KIND_INT or NUM_KIND_FLOAT
    union {
        uint64_t u;  // kind NUM_KIND_INT
        double d;    // kind NUM_KIND_FLOAT
    } value;
};

// Number text: decimal, octal with a leading 0, "0x" hexadecimal, "0b"
// binary, decimal and hexadecimal floating point, u/l suffixes; base is 10
// or 16. Anything unusable leaves kind NUM_KIND_INT, value 0.
num_parse_result* str_parse_all_number(num_parse_result* res, const char* text, int base);
uint64_t str_to_u64(const char* text);
uint64_t str_hex_to_u64(const char* text);
int32_t str_hex_to_int(const char* text);
double str_to_double(const char* text);
// strtoll with automatic base.
int64_t str_to_ll(const char* text);

// Decimal digits of value, with "," between groups of three when sep is set;
// a longer text keeps its last size-1 characters. The length written.
int u64_to_text_sep(uint64_t value, char* buf, size_t size, int sep);
// "%d" into a 128-byte text of the calling thread.
const char* int_to_text(int value);
// "%lli" with "," between groups of three digits ("-1,234,567").
char* i64_to_text_commas(int64_t value, char* buf, size_t size);
// The same into a 128-byte text of the calling thread.
const char* i64_to_text_commas(int64_t value);

// Splits text at any character of seps and stores the fields in the order of
// the "|"-separated type list ("u64", "size", "x64", "int", "u32"). Each type
// takes a destination pointer from the arguments and, when with_len is set,
// its length as a size_t. 0, or -1 with errno set.
int str_scan_sep_number(const char* text, const char* seps, int with_len, const char* types, ...);

// "a.b.c.d" to a << 48 | b << 32 | c << 16 | d; 0 for a first part of 0 or
// for more than 4 parts.
uint64_t version_to_u64(const char* text);
// 1 when a is higher, -1 when lower, 0 when equal.
int version_compare(const char* a, const char* b);

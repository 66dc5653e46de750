// Coloured console output, raw keyboard input, and local date and time texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// Colour codes 2 to 9 have their own escape sequence, any other non-zero
// code is white; 0 prints without colour.
const char* os_console_color(int code);
inline constexpr const char* OS_CONSOLE_RESET = "\033[0m";
inline constexpr size_t OS_CONSOLE_TEXT_SIZE = 8192;

// Colour is for people at a terminal: a stream that is not one (a file, a
// pipe) gets the text alone. The process-wide switch (on by default) turns
// colour off on terminals too; the command sets it from the logger's
// "no_colour".
void os_console_set_colour(bool on);
// True when text written to the descriptor is coloured: the switch is on
// and the descriptor is a terminal.
bool os_console_colour_on(int fd);

// Prints the text in the code's colour, followed by the reset sequence, when
// os_console_colour_on holds for the stream; otherwise the text alone. On
// standard error the text starts a line of its own (see below).
int os_console_puts(FILE* stream, int code, const char* text);
// Formats into OS_CONSOLE_TEXT_SIZE bytes (longer output is cut), then prints
// it with os_console_puts.
int os_console_printf(FILE* stream, int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Standard error carries one progress line, rewritten in place, between the
// other lines. os_console_progress writes "\r" and the text, blank-padded over
// a longer progress text still showing, and leaves the line open. Every other
// writer ends an open progress line with a line break before its own text
// (os_console_end_progress, or os_console_err_write, which does it under the
// same lock as its write), so that no line is glued onto the progress and
// the last progress text stays readable, on a terminal and in a file.
void os_console_progress(const char* text);
void os_console_end_progress();
// Writes len bytes of text to standard error at the start of a line; 0, or
// -1 when the write failed. With wait_ms >= 0 (a fatal-signal handler may be
// the caller) the lock is waited for at most that long; without it the text
// is written as it is.
int os_console_err_write(const char* text, size_t len, int32_t wait_ms = -1);
// One line of standard input without its line break; null at the end of input.
char* os_console_gets(char* buf, size_t size);
// 1 saves the terminal state of standard input and turns off line editing
// and echo; any other value restores the saved state. 0 done, -1 failed.
int os_console_raw(int on);
// Waits until a key is pressed; the key is left unread.
void os_console_wait_key();

// Local date and time texts; each returns buf.
char* os_time_str(char* buf, size_t size);          // "YYYY-MM-DD hh:mm:ss.mmm " (blank after each part)
char* os_time_compact(char* buf, size_t size);      // "YYYYMMDDhhmmss"
char* os_time_compact_ms(char* buf, size_t size);   // ... followed by 3 digits of milliseconds
char* os_time_compact_us(char* buf, size_t size);   // ... followed by 6 digits of microseconds
// Seconds since start_us (microseconds since the epoch) as "s.uuuuuu".
char* os_elapsed_str(uint64_t start_us, char* buf, size_t size);
// "YYYY-MM-DD hh:mm:ss", or "0000-00-00 00:00:00" when it cannot be converted.
char* os_time_to_str(int64_t seconds, char* buf, size_t size);
// "Y-M-D h:m:s" read as local time (daylight saving as the zone has it);
// -1 when the text does not hold the six numbers or the time cannot be made.
int64_t os_str_to_time(const char* text);

// "today", "last_week" (7 days back), "last_mon" (30 days back) and
// "last_year" (365 days back) as "YYYY-MM-DD"; another word leaves buf as it is.
char* os_date_by_word(const char* word, char* buf, size_t size);
// The same counted from the given time instead of now.
char* os_date_by_word_at(const char* word, time_t now, char* buf, size_t size);

// Day of the month | month (0 to 11) << 8 | years since 1900 << 16.
uint32_t os_date_packed();

struct os_localtime {
    uint16_t year;   // full year
    uint16_t month;  // 1 to 12
    uint16_t wday;   // 0 Sunday
    uint16_t day;    // day of the month
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t msec;
};
// Fills the record with the local time; returns the day of the week.
int os_localtime_get(os_localtime* out);

// Progress of a counted job.
struct pl_progress {
    uint64_t done;
    uint64_t total;
};
// Percentage still to do (0 for a total of 0). A done count above the total
// is lowered to the total in the record first.
double pl_percent_left(pl_progress* p);

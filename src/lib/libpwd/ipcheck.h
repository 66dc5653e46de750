// Per-address count of failed logins, with a lockout once an address has
// failed too often. Process-wide; every call is safe from any thread. While
// the limit is 0 (or before ipcheck_init) nothing is counted and every
// address passes.
#pragma once

#include <cstdint>

struct libpwd_conf;

// Takes the limit, the lockout minutes (60 when 0) and the table size (4096
// when 0) from the settings.
void ipcheck_init(const libpwd_conf* conf);
// Forgets every address and stops counting.
void ipcheck_exit();
// 0: the address may try; 2: it is locked out, msg (LIBPWD_MSG_SIZE bytes)
// tells for how long. An unknown address is added (dropping the entries
// with the oldest failure when the table is full).
int ipcheck_check(const char* addr, char* msg);
// A successful login: the address is forgotten.
void ipcheck_ok(const char* addr);
// A failed login of a known address; the limit-th failure locks it.
void ipcheck_fail(const char* addr);

// The clock of the lockouts (milliseconds); nothing restores the monotonic
// clock. For tests that let a lockout run out.
using ipcheck_clock_fn = uint64_t (*)();
void ipcheck_set_clock(ipcheck_clock_fn clock);

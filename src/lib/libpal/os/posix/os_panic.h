// Fatal signals and core dumps.
#pragma once

// Installs panic_handler for SIGILL, SIGABRT, SIGBUS, SIGFPE and SIGSEGV (in
// that order). Returns 0.
int os_panic_init();
// For a fatal signal: logs the newest log lines (as a binary log record
// only), "signo=%d [%s]" with the signal's number and name, and "appver: %s"
// with the application's version, runs the panic hook when one is set and
// ends the process with status 254 (_exit). It never waits long for the
// logger's lock, which the failing thread may hold; should anything else
// keep it from ending, a watchdog ends the process with 254 after a few
// seconds.
void panic_handler(int signo);
// Sets the function panic_handler runs before it ends the process.
void os_panic_set_hook(void (*hook)());
// Both core-file size limits to unlimited. 0, or -1 (logged).
int os_panic_init_core_dump();
// Core dumps for a process running as root (-1 otherwise): with a directory
// given, the core-file size limit is raised. Returns 0.
int os_painc_set_dump_dir(const char* dir, const char* name);
int os_panic_noop();

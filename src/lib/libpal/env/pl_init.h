// Start and stop of the platform layer.
#pragma once

// Runs once per process; a second call returns 0 at once. In order: the
// system-information record, SIGPIPE ignored, the process limits
// (os_init_limits), both random generators seeded with the time in seconds,
// the operating-system description computed. Returns 0.
int pl_init();
// Frees the thread-name registry, closes the process-wide logger, ends the
// allocator's accounting. Every step may run again (or after the logger's
// own exit) without effect. Returns 0.
int pl_exit();
// Raises the open-files and the file-size limits (os_ulimit) and keeps the
// file-creation mask at least 022.
void os_init_limits();

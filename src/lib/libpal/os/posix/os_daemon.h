// Process limits and daemon mode.
#pragma once

// Raises both limits of a resource (RLIMIT_*) to unlimited; when the system
// refuses, sets both to the old hard limit. 0, or -1 (logged at err).
int os_ulimit(int resource);

// Detaches the process from its terminal: two forks (the parents end with
// status 0), a new session, SIGHUP ignored, a file-creation mask of at least
// 022, and descriptors 0, 1 and 2 on /dev/null. 0 in the detached process;
// -1 when a fork fails.
int os_daemonize();

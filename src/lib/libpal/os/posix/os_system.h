// Platform hooks with nothing to do on this platform.
#pragma once

// Kept for callers that pause and resume the system's sleep around a run. 0.
int os_hibernate_disable();
int os_hibernate_restore();
// No shell is run for a command text: logs that and returns 0.
int os_system(const char* command);

// Start and stop of the platform layer.
#pragma once

// Runs once per process; a second call returns 0 at once.
int pl_init();
// Frees the thread-name registry, closes the process-wide logger, ends the
// allocator's accounting.
int pl_exit();

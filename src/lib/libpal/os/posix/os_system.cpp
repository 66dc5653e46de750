#include "libpal/os/posix/os_system.h"

#include "liblog/log2.h"

int os_hibernate_disable() { return 0; }

int os_hibernate_restore() { return 0; }

int os_system(const char*) {
    LOG2(LOG2_ERR, "pal", "'system' not available on this platform\n");
    return 0;
}

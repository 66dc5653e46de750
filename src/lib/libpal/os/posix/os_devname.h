// Descriptions of devices for the file layer's information request.
#pragma once

#include <cstddef>

// Writes a short description of the device behind a descriptor or path into
// text (cut to size, always terminated) and returns 0:
//   "PhysicalMemory" for the paths /dev/mem, /dev/pmem and /dev/ram;
//   for a block device the vendor and model its disk reports, "loop: <file>"
//   for a loop device (a partition is described by its disk);
//   an empty text for everything else.
// The descriptor (when not negative) identifies the device; otherwise the
// path is looked up. No program is run.
int os_dev_get_name(int fd, char* text, size_t size, const char* path);

// Mount facts of a device from the system's mount table: field "mnt_dir"
// gives where it is mounted, "mnt_type" its file-system type; the first
// mount of the device counts (matched by name, else by device number).
// Another field, or a device that is not mounted, leaves text as it was.
// Returns 0.
int os_dev_mnt_info(const char* path, const char* field, char* text, size_t size);

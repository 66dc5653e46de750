// The system-information record, boot time, the operating-system description
// and memory facts of the running machine.
#pragma once

#include <cstddef>
#include <cstdint>

// Process-wide, filled once by pl_init (pl_sysinfo_init) and only read
// afterwards; the binary log records carry it. The version id belongs to the
// program: pl_sysinfo_init leaves it as the program set it.
struct pl_sysinfo {
    char os_name[16];      // "linux"
    char arch_name[32];    // the machine name the kernel reports ("x86_64")
    uint64_t machine_id;   // os_machine_id
    uint64_t uptime;       // seconds since boot when the record was filled
    uint64_t start_ms;     // milliseconds since the epoch
    char hostname[128];    // os_get_hostname
    uint64_t start_clock;  // seconds of the realtime clock
    uint8_t os_id;         // 2: linux
    uint8_t arch_id;       // 1 x86, 2 x64, 10 arm64, ... (0 when not listed)
    uint32_t ver_id;       // the program's version number (0x01070200 for "1.7.2.0")
};

extern pl_sysinfo g_sysinfo;

// Fills every field but the version id.
void pl_sysinfo_init();
// Architecture id of a kernel machine name; 0 when not listed.
uint8_t pl_arch_id(const char* machine);

// Seconds since boot (CLOCK_BOOTTIME); 0 when it cannot be read.
uint64_t os_uptime();
// Boot time in milliseconds since the epoch (whole seconds times 1000); 0 on failure.
uint64_t os_boot_time_ms();

// The operating-system description (os_get_info) trimmed of white space,
// computed on first use (pl_init does it) into a static 256-byte text.
const char* os_info_str();

// Physical memory in bytes (physical pages times the page size); 0 when unknown.
uint64_t os_phys_mem_size();
// "%s PS=%u": the physical memory as a size text and the page size, in a
// static 128-byte text overwritten by each call.
const char* os_mem_info_str();

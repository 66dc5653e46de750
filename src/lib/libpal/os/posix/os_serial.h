// Serial ports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Opens a serial device for reading and writing (not as the controlling
// terminal), in raw mode, 8 data bits, no parity, one stop bit, receiver on,
// modem lines ignored, at one of the rates 38400, 19200, 9600, 4800, 2400,
// 1200 and 300. The descriptor, or -1 (logged at err; also for another rate).
// mode is not used.
int os_serial_open(const char* path, uint32_t baud, uint32_t mode);
// Waits up to ms for input, then reads until length bytes are in, the input
// ends or no more arrives within what is left of ms. The byte count (0 on a
// time-out without input), or -1 when waiting or reading fails before any byte.
ssize_t os_serial_read(int fd, void* buf, size_t length, uint32_t ms);
// Writes every byte (waiting while the device is busy). length, or -1.
ssize_t os_serial_write(int fd, const void* data, size_t length);
void os_serial_close(int fd);

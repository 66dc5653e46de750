// Table-driven checksums. Every function starts from the value the caller
// gives and returns the register after the last byte.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16 of polynomial 0x8005, most significant bit first, no final XOR,
// with the register held with its two bytes exchanged: the result equals the
// plain CRC-16/0x8005 of the byte-exchanged initial value, bytes exchanged
// (the nine digits "123456789" from 0 give 0xE8FE). 16 bits are used.
int32_t hash_crc16(const void* data, size_t length, uint32_t init);

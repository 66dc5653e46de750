// The machine identifier, derived from the network hardware addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ifaddrs;

// The bytes of a link-level address as a big-endian number (right-aligned in
// 64 bits) for a length of 6 to 8; 0 otherwise.
uint64_t os_mac_to_u64(const uint8_t* bytes, size_t length);

// Appends to out the 6-byte hardware addresses of the link-level entries of
// an interface list, walked from the last listed interface to the first;
// addresses whose value is at most 0xFFFFFF (first three bytes zero, as for
// the loopback interface) are left out. Each step is logged at level verb.
void os_mac_collect(const ifaddrs* list, std::vector<uint64_t>& out);
// The hardware addresses of this machine's interfaces (os_mac_collect over
// getifaddrs); false when the interfaces cannot be listed.
bool os_mac_get_all(std::vector<uint64_t>& out);

// The first address os_mac_get_all gives; 0 when there is none.
uint64_t os_machine_id();
// "%llx" of the machine id, in a static 256-byte text overwritten by each call.
const char* os_machine_id_str();
// Lower-case hexadecimal MD5 of "<text>\t<MD5 of the machine id text>", in a
// static 256-byte text overwritten by each call.
const char* os_machine_id_md5(const char* text);

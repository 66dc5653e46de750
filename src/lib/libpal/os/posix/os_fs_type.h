// Names of the file-system type numbers statfs reports.
#pragma once

#include <cstdint>

// Upper-case name of a file-system magic number; "UNKOWN" (logged at verb)
// for a number not in the table.
const char* os_fs_type(uint32_t type);

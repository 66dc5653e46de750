// 16-byte random identifiers and their text form.
#pragma once

#include <cstddef>
#include <cstdint>

// The smallest text buffer guid_fmt_str accepts without complaint.
inline constexpr size_t PL_GUID_MAX_STR = 40;

// Fills buf with 16 bytes from the operating system's random source, so
// identifiers made at the same moment (or in the same second) differ and no
// other generator of the process is disturbed. A length other than 16 is an
// assertion message and -1 with nothing written; a failing random source
// is -1 as well. 0 on success.
int32_t guid_get_buf(void* buf, size_t len);

// Writes "{%08X-%04X-%04X-%04X-%04X%04X%04X}" (38 characters) from the
// identifier seen as one u32 and six u16 words in host byte order. A size
// below PL_GUID_MAX_STR gives an assertion message and the text cut to the
// size. Returns text.
char* guid_fmt_str(const void* guid, char* text, size_t len);

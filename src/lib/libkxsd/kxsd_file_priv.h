// Shared by the remote file and remote job sources.
#pragma once

#include "libkxsd/kxsd_handle.h"

// A file handle with its connection.
bool kxsd_file_ok(const kxsd_file_ctx* file);
// The failure of a call given a bad handle or bad arguments: -2 in the
// error record when there is one. -1.
int kxsd_file_bad(const kxsd_file_ctx* file);

// Loading of disk plugin libraries (see kx_disk_plug.h for their interface).
#pragma once

#include "libblock/bd.h"
#include "libblock/kx_disk_plug.h"

// Loads a plugin library and makes its driver record (type 10, the plugin's
// name, its supported names and open kinds, the comm_plugin operations).
// None when the library cannot be loaded or lacks a required entry point
// (the reasons are logged at dbg). The library stays loaded for the process.
bd_drv* libplugin_init(const char* path);
// Frees the driver record of a loaded plugin and its plugin record.
void libplugin_free(bd_drv* drv);
// The record handed to every plugin's kx_disk_plug_init.
const kx_disk_plug_host* bd_plug_host();

// The image-library driver ("smif"): VMDK, VHD/VHDX, EWF, split raw and QCOW
// images read through their libraries, loaded at run time. Each library
// function returns 1 on success and -1 on failure, with an error object as
// its last argument; handles and error objects are opaque here.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Module ids.
enum : uint32_t {
    SMIF_VMDK = 1,
    SMIF_VHDI = 2,
    SMIF_EWF = 3,
    SMIF_SMRAW = 4,
    SMIF_QCOW = 5,
};

inline constexpr size_t SMIF_MODULES = 5;   // the modules the driver knows
inline constexpr size_t SMIF_MAX_SLOTS = 8;  // places of the module table

// A loaded library: its id, name, name patterns and functions (empty where
// the library has none).
struct smif_module {
    uint32_t id;
    const char* name;
    const char* patterns;  // ";"-separated
    const char* (*get_version)();
    int (*error_sprint)(void* error, char* text, size_t size);
    int (*error_backtrace_sprint)(void* error, char* text, size_t size);
    int (*initialize)(void** handle, void** error);
    int (*free)(void** handle, void** error);
    int (*glob)(const char* path, size_t length, char*** names, int* count, void** error);
    int (*glob_format)(const char* path, size_t length, uint8_t format, char*** names, int* count, void** error);
    int (*glob_free)(char** names, int count, void** error);
    int (*open)(void* handle, const char* path, int access, void** error);
    int (*open_list)(void* handle, char* const* names, int count, int access, void** error);
    int (*open_extent_data_files)(void* handle, void** error);
    int (*set_extent_data_files_path)(void* handle, const char* path, size_t length, void** error);
    int (*get_bytes_per_sector)(void* handle, uint32_t* out, void** error);
    int (*get_media_size)(void* handle, uint64_t* out, void** error);
    int (*close)(void* handle, void** error);
    ssize_t (*read_buffer_at_offset)(void* handle, void* buffer, size_t length, int64_t offset, void** error);
    void (*error_free)(void** error);
    // The ranges of sectors whose stored checksum did not match (EWF): the
    // library hands out their data as read, so the driver checks them.
    int (*get_number_of_checksum_errors)(void* handle, uint32_t* count, void** error);
    int (*get_checksum_error)(void* handle, uint32_t index, uint64_t* start_sector, uint64_t* sectors, void** error);
};

// Loads the libraries ("libvmdk.so", "libvhdi.so", "libewf.so",
// "libsmraw.so", "libqcow.so") and fills the module table: 0, or -1 when a
// loaded library lacks its get_version function (the remaining ones are
// then not loaded). A library that cannot be loaded, or lacks a function the
// driver calls, only removes its own kinds.
int libyal_smif_init();
// The same with other library files (one per module id in order; an empty
// entry, or no list, keeps the usual name).
int libyal_smif_init_files(const char* const files[SMIF_MODULES]);
// Puts a module into the first empty place of the table (a full table ignores it).
void smif_module_add(const smif_module* module);
// The module whose patterns match the path (without regard to case), asked
// from the last loaded to the first; nothing when none does.
const smif_module* smif_module_find(const char* path);
// The ";%s"-joined patterns of the table, from the last place to the first.
const char* smif_module_exts(char* buf, size_t size);
// Empties the module table.
void smif_module_clear();

// The driver's exit: nothing to do, the libraries stay loaded.
void bdrv_smif_exit();

// Test seam: loads the libraries again from the given files (one per module
// id in order; an empty entry keeps the usual name) and sets the driver's
// load state from the result. Returns libyal_smif_init's answer.
int bdrv_smif_reload(const char* const files[SMIF_MODULES]);
// 1 loaded, 2 failed (0 before the first registration).
uint8_t bdrv_smif_state();

// The image libraries of the "smif" driver: which library serves which
// names, the functions taken from each, and the module table.
#include <cstring>
#include <string>

#include "libblock/bd_smif.h"
#include "libpal/env/os_dl.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"
#include "liblog/log2.h"

namespace {

// Where a module's function names come from: the library's prefix and the
// names of its rows; nullptr where the module has no such function.
struct module_spec {
    uint32_t id;
    const char* file;
    const char* soname;  // the versioned name, tried when the plain one is not installed
    const char* name;
    const char* patterns;
    const char* error_sprint;
    const char* error_backtrace_sprint;
    const char* error_free;
    const char* get_version;
    const char* initialize;
    const char* free;
    const char* glob;
    const char* glob_format;
    const char* glob_free;
    const char* open;
    const char* open_list;
    const char* open_extent_data_files;
    const char* set_extent_data_files_path;
    const char* get_bytes_per_sector;
    const char* get_media_size;
    const char* close;
    const char* read_buffer_at_offset;
    const char* read_fallback;  // same arguments, in library versions without the read above
    const char* get_number_of_checksum_errors;
    const char* get_checksum_error;
};

constexpr module_spec k_specs[SMIF_MODULES] = {
    {SMIF_VMDK, "libvmdk.so", "libvmdk.so.1", "vmdk", "*.vmdk", "libvmdk_error_sprint",
     "libvmdk_error_backtrace_sprint", "libvmdk_error_free", "libvmdk_get_version", "libvmdk_handle_initialize",
     "libvmdk_handle_free", nullptr, nullptr, nullptr, "libvmdk_handle_open", nullptr,
     "libvmdk_handle_open_extent_data_files", "libvmdk_handle_set_extent_data_files_path", nullptr,
     "libvmdk_handle_get_media_size", "libvmdk_handle_close", "libvmdk_handle_read_buffer_at_offset", nullptr,
     nullptr, nullptr},
    {SMIF_VHDI, "libvhdi.so", "libvhdi.so.1", "vhdi", "*.vhd;*.vhdx", "libvhdi_error_sprint",
     "libvhdi_error_backtrace_sprint", "libvhdi_error_free", "libvhdi_get_version", "libvhdi_file_initialize",
     "libvhdi_file_free", nullptr, nullptr, nullptr, "libvhdi_file_open", nullptr, nullptr, nullptr,
     "libvhdi_file_get_bytes_per_sector", "libvhdi_file_get_media_size", "libvhdi_file_close",
     "libvhdi_file_read_buffer_at_offset", nullptr, nullptr, nullptr},
    {SMIF_EWF, "libewf.so", "libewf.so.2", "ewf", "*.s01;*.e01;*.ex01;*.l01;*.lx01", "libewf_error_sprint",
     "libewf_error_backtrace_sprint", "libewf_error_free", "libewf_get_version", "libewf_handle_initialize",
     "libewf_handle_free", nullptr, "libewf_glob", "libewf_glob_free", nullptr, "libewf_handle_open", nullptr,
     nullptr, "libewf_handle_get_bytes_per_sector", "libewf_handle_get_media_size", "libewf_handle_close",
     "libewf_handle_read_buffer_at_offset", "libewf_handle_read_random", "libewf_handle_get_number_of_checksum_errors",
     "libewf_handle_get_checksum_error"},
    {SMIF_SMRAW, "libsmraw.so", "libsmraw.so.1", "smraw", "*.000;*.001", "libsmraw_error_sprint",
     "libsmraw_error_backtrace_sprint", "libsmraw_error_free", "libsmraw_get_version", "libsmraw_handle_initialize",
     "libsmraw_handle_free", "libsmraw_glob", nullptr, "libsmraw_glob_free", nullptr, "libsmraw_handle_open",
     nullptr, nullptr, nullptr, "libsmraw_handle_get_media_size", "libsmraw_handle_close",
     "libsmraw_handle_read_buffer_at_offset", nullptr, nullptr, nullptr},
    {SMIF_QCOW, "libqcow.so", "libqcow.so.1", "qcow", "*.qcow;*.qcow2;*.qcow3", "libqcow_error_sprint",
     "libqcow_error_backtrace_sprint", "libqcow_error_free", "libqcow_get_version", "libqcow_file_initialize",
     "libqcow_file_free", nullptr, nullptr, nullptr, "libqcow_file_open", nullptr, nullptr, nullptr,
     "libqcow_file_get_bytes_per_sector", "libqcow_file_get_media_size", "libqcow_file_close",
     "libqcow_file_read_buffer_at_offset", nullptr, nullptr, nullptr},
};

struct module_table {
    smif_module loaded[SMIF_MAX_SLOTS];  // the records the loader filled
    const smif_module* slots[SMIF_MAX_SLOTS];
    size_t n_loaded;
};

module_table g_table;

template <typename Fn>
void take(void* lib, const char* symbol, Fn& slot) {
    slot = symbol ? reinterpret_cast<Fn>(os_dlsym(lib, symbol)) : nullptr;
}

// The library name without ".so": "libvmdk".
std::string lib_stem(const module_spec& s) {
    std::string f = s.file;
    size_t dot = f.find('.');
    return dot == std::string::npos ? f : f.substr(0, dot);
}

// The functions the driver calls for the module are all there; the name of
// the first missing one otherwise.
const char* first_missing(const smif_module& m, const module_spec& s) {
    if (!m.initialize) return s.initialize;
    if (!m.free) return s.free;
    if (!m.get_media_size) return s.get_media_size;
    if (!m.close) return s.close;
    if (!m.read_buffer_at_offset) return s.read_buffer_at_offset;
    switch (m.id) {
    case SMIF_SMRAW:
        if (!m.glob) return s.glob;
        if (!m.glob_free) return s.glob_free;
        if (!m.open_list) return s.open_list;
        break;
    case SMIF_EWF:
        if (!m.glob_format) return s.glob_format;
        if (!m.glob_free) return s.glob_free;
        if (!m.open_list) return s.open_list;
        break;
    case SMIF_VMDK:
        if (!m.open_extent_data_files) return s.open_extent_data_files;
        [[fallthrough]];
    default:
        if (!m.open) return s.open;
        break;
    }
    return nullptr;
}

}  // namespace

int libyal_smif_init_files(const char* const files[SMIF_MODULES]) {
    for (size_t i = 0; i < SMIF_MODULES; ++i) {
        const module_spec& s = k_specs[i];
        std::string stem = lib_stem(s);
        bool usual = !files || !files[i] || !files[i][0];
        const char* file = usual ? s.file : files[i];
        void* lib = os_dlopen2(file);
        if (!lib && usual) lib = os_dlopen2(s.soname);
        if (!lib) {
            const char* why = os_dlerror();
            LOG2(LOG2_DBG, "block2", "os_dlopen2 %s error: %s\n", stem.c_str(), why ? why : "");
            continue;
        }
        if (g_table.n_loaded >= SMIF_MAX_SLOTS) break;
        smif_module& m = g_table.loaded[g_table.n_loaded];
        m = smif_module{};
        m.id = s.id;
        m.name = s.name;
        m.patterns = s.patterns;
        take(lib, s.get_version, m.get_version);
        take(lib, s.error_sprint, m.error_sprint);
        take(lib, s.error_backtrace_sprint, m.error_backtrace_sprint);
        take(lib, s.error_free, m.error_free);
        take(lib, s.initialize, m.initialize);
        take(lib, s.free, m.free);
        take(lib, s.glob, m.glob);
        take(lib, s.glob_format, m.glob_format);
        take(lib, s.glob_free, m.glob_free);
        take(lib, s.open, m.open);
        take(lib, s.open_list, m.open_list);
        take(lib, s.open_extent_data_files, m.open_extent_data_files);
        take(lib, s.set_extent_data_files_path, m.set_extent_data_files_path);
        take(lib, s.get_bytes_per_sector, m.get_bytes_per_sector);
        take(lib, s.get_media_size, m.get_media_size);
        take(lib, s.close, m.close);
        take(lib, s.read_buffer_at_offset, m.read_buffer_at_offset);
        if (!m.read_buffer_at_offset) take(lib, s.read_fallback, m.read_buffer_at_offset);
        take(lib, s.get_number_of_checksum_errors, m.get_number_of_checksum_errors);
        take(lib, s.get_checksum_error, m.get_checksum_error);
        if (!m.get_checksum_error) m.get_number_of_checksum_errors = nullptr;
        if (!m.get_version) {
            LOG2(LOG2_ERR, "block2", "%s error: Is not a valid module\n ", stem.c_str());
            return -1;
        }
        LOG2(LOG2_VERB, "block2", "%s ver=%s\n", stem.c_str(), m.get_version());
        // A library without a function the driver calls would fail at the
        // first open or read: its kinds go as if it were not installed.
        if (const char* missing = first_missing(m, s)) {
            LOG2(LOG2_ERR, "block2", "%s error: no function %s, its images are not supported\n", stem.c_str(), missing);
            continue;
        }
        ++g_table.n_loaded;
        smif_module_add(&m);
    }
    return 0;
}

int libyal_smif_init() { return libyal_smif_init_files(nullptr); }

void smif_module_add(const smif_module* module) {
    if (!module) return;
    for (const smif_module*& slot : g_table.slots) {
        if (!slot) {
            slot = module;
            return;
        }
    }
}

void smif_module_clear() { g_table = module_table{}; }

const smif_module* smif_module_find(const char* path) {
    if (!path) return nullptr;
    for (size_t i = SMIF_MAX_SLOTS; i-- > 0;) {
        const smif_module* m = g_table.slots[i];
        if (!m || !m->patterns) continue;
        std::string alternatives = m->patterns;
        for (char& c : alternatives)
            if (c == ';') c = '|';
        if (str_wildcard_nocase(path, alternatives.c_str())) return m;
    }
    return nullptr;
}

const char* smif_module_exts(char* buf, size_t size) {
    std::string s;
    for (size_t i = SMIF_MAX_SLOTS; i-- > 0;)
        if (g_table.slots[i] && g_table.slots[i]->patterns) s += std::string(";") + g_table.slots[i]->patterns;
    if (buf && size) str_safecopy_trunc(buf, size, s.c_str());
    return buf;
}

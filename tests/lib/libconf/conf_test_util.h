// Helpers of the configuration tests: an owning handle, string vectors as
// std::vector, and files in a temporary directory.
#pragma once

#include <string>
#include <vector>

#include "libconf/ini/conf.h"
#include "libpal/string/str_vector.h"
#include "support/proc.h"

inline constexpr const char* k_bom = "\xEF\xBB\xBF";

// Owns a configuration handle.
struct conf_handle {
    conf_ctx* h;
    explicit conf_handle(conf_ctx* c) : h(c) {}
    ~conf_handle() { conf_close(h); }
    conf_handle(const conf_handle&) = delete;
    conf_handle& operator=(const conf_handle&) = delete;
    explicit operator bool() const { return h != nullptr; }
    const char* get(const char* section, const char* key, const char* def = "<absent>") const {
        return conf_get_string(h, section, key, def);
    }
};

// The items of a vector (which is freed); {"<none>"} for no vector.
inline std::vector<std::string> take(str_vector* v) {
    if (!v) return {"<none>"};
    std::vector<std::string> out(v->items, v->items + v->count);
    str_vector_free(v);
    return out;
}

// Splits a text into its lines (without the line breaks).
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

// Writes text to dir/name and loads it.
inline conf_ctx* load_text(const temp_dir& dir, const std::string& name, const std::string& text) {
    write_file(dir.file(name), text);
    return conf_load(dir.file(name).c_str());
}

// A small JSON reader for the request log of the kxsd test server: enough
// for the objects it writes (objects, arrays, strings, integers, booleans,
// null), nothing more.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct mini_json {
    enum kind_t { NUL, BOOL, NUM, STR, ARR, OBJ } kind = NUL;
    bool b = false;
    int64_t num = 0;
    std::string str;
    std::vector<mini_json> arr;
    std::map<std::string, mini_json> obj;

    // The value of a key of an object (a null value when absent).
    const mini_json& operator[](const std::string& key) const;
    const mini_json& operator[](size_t i) const;
    bool has(const std::string& key) const { return kind == OBJ && obj.count(key) != 0; }
    bool is_null() const { return kind == NUL; }
    int64_t i() const { return num; }
    const std::string& s() const { return str; }
    size_t size() const { return kind == ARR ? arr.size() : kind == OBJ ? obj.size() : 0; }

    // Parses one value; false (and *out unchanged) on a syntax error.
    static bool parse(std::string_view text, mini_json* out);
};

// Matches a text against a simple shape: '#' stands for a decimal digit,
// '?' for a lower-case hexadecimal digit, every other character for itself.
#pragma once

#include <string_view>

inline bool has_shape(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        bool digit = c >= '0' && c <= '9';
        switch (shape[i]) {
        case '#':
            if (!digit) return false;
            break;
        case '?':
            if (!digit && !(c >= 'a' && c <= 'f')) return false;
            break;
        default:
            if (c != shape[i]) return false;
        }
    }
    return true;
}

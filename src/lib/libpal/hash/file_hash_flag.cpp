#include <cstring>
#include <string_view>

#include "libpal/hash/file_hash.h"

namespace {

struct hash_word {
    uint32_t bit;
    std::string_view word;
};

// The fixed order in which jobs handle their algorithms.
constexpr hash_word k_hash_words[] = {
    {HASH_MD5, "md5"},       {HASH_SHA1, "sha1"},       {HASH_SHA256, "sha256"},   {HASH_SHA512, "sha512"},
    {HASH_SM3, "sm3"},       {HASH_XXH3, "xxh3"},       {HASH_PMD5, "pmd5"},       {HASH_PSHA1, "psha1"},
    {HASH_PSHA256, "psha256"}, {HASH_PSHA512, "psha512"}, {HASH_PSM3, "psm3"},     {HASH_PXXH3, "pxxh3"},
};

}  // namespace

int32_t file_hash_flag_parse(const char* text) {
    if (!text) return -1;
    uint32_t flags = 0;
    std::string_view rest(text);
    while (true) {
        size_t comma = rest.find(',');
        std::string_view piece = rest.substr(0, comma);
        for (const auto& w : k_hash_words)
            if (w.word == piece) flags |= w.bit;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return flags ? static_cast<int32_t>(flags) : -1;
}

const char* file_hash_flag_str(uint32_t flag) {
    thread_local char text[512];
    text[0] = 0;
    size_t len = 0;
    for (const auto& w : k_hash_words) {
        if (!(flag & w.bit)) continue;
        if (len) text[len++] = '|';
        memcpy(text + len, w.word.data(), w.word.size());
        len += w.word.size();
        text[len] = 0;
    }
    return text;
}

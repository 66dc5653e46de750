// The string-keyed hash dictionary.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <unordered_map>

#include "libpal/basic/dict.h"
#include "libpal/memory/pl_mem.h"
#include "support/log_capture.h"

namespace {

void* as_value(uintptr_t v) { return reinterpret_cast<void*>(v); }

// The hash against values worked out independently (byte-wise MurmurHash2,
// little-endian words, seed 0xbadcafe).
TEST(DictHash, KnownValues) {
    struct row {
        const char* text;
        uint32_t want;
    };
    const row rows[] = {
        {"a", 0x489c9307},
        {"ab", 0x2ea23509},
        {"abc", 0xada9691c},
        {"abcd", 0xc40eadaf},
        {"abcde", 0xa38efab0},
        {"hello world", 0x6742d4b2},
        {"The quick brown fox jumps over the lazy dog", 0xa2147b8d},
        {"\xff\x80\x7f", 0x07f04961},  // bytes above 0x7f are unsigned
    };
    for (const row& r : rows)
        EXPECT_EQ(dict_hash(r.text, static_cast<uint32_t>(strlen(r.text))), r.want) << r.text;
    EXPECT_EQ(dict_hash("", 0), 0u);
    EXPECT_EQ(dict_hash(nullptr, 5), 0u);
    EXPECT_EQ(dict_hash("abc", 2), dict_hash("ab", 2));  // only `length` bytes count
}

TEST(Dict, SetGetUnsetAndGrowth) {
    dict_ctx* d = dict_new(DICT_KEY_COPY);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->size, 8u);
    const char* keys[] = {"k1", "k2", "k3", "k4", "k5", "k6"};
    for (int i = 0; i < 5; i++) ASSERT_EQ(dict_set(d, keys[i], as_value(i + 1)), 0);
    EXPECT_EQ(d->size, 8u);
    ASSERT_EQ(dict_set(d, keys[5], as_value(6)), 0);  // used 6: 6 * 3 >= 8 * 2
    EXPECT_EQ(d->size, 32u);
    EXPECT_EQ(dict_count(d), 6u);
    for (int i = 0; i < 6; i++) EXPECT_EQ(dict_get(d, keys[i], nullptr), as_value(i + 1)) << keys[i];

    void* def = as_value(0xdef);
    EXPECT_EQ(dict_get(d, "absent", def), def);
    EXPECT_EQ(dict_get(d, nullptr, def), def);
    EXPECT_EQ(dict_get(nullptr, "k1", def), def);
    EXPECT_EQ(dict_unset(d, "absent"), -1);
    EXPECT_EQ(dict_count(d), 6u);
    EXPECT_EQ(dict_set(d, nullptr, def), -1);
    EXPECT_EQ(dict_set(nullptr, "x", def), -1);

    ASSERT_EQ(dict_set(d, "k3", as_value(33)), 0);  // replaced, not added
    EXPECT_EQ(dict_count(d), 6u);
    EXPECT_EQ(dict_get(d, "k3", nullptr), as_value(33));

    EXPECT_EQ(dict_unset(d, "k2"), 0);
    EXPECT_EQ(dict_unset(d, "k2"), -1);
    EXPECT_EQ(dict_count(d), 5u);
    EXPECT_EQ(dict_get(d, "k2", def), def);

    // A key set again takes its tombstone back, which was counted already.
    uint32_t used = d->used;
    ASSERT_EQ(dict_set(d, "k2", as_value(22)), 0);
    EXPECT_EQ(d->used, used);
    EXPECT_EQ(dict_count(d), 6u);
    EXPECT_EQ(dict_get(d, "k2", nullptr), as_value(22));
    dict_free(d);
}

// Keys and values are the dictionary's own copies: changing the caller's
// buffers changes nothing, and freeing the dictionary releases every copy.
TEST(Dict, OwnedCopies) {
    uint64_t blocks = pl_mem_stat_get().malloc_count;
    dict_ctx* d = dict_new(DICT_KEY_COPY | DICT_VAL_COPY);
    ASSERT_NE(d, nullptr);
    char key[16] = "name";
    char value[16] = "first";
    ASSERT_EQ(dict_set(d, key, value), 0);
    strcpy(key, "nope");
    strcpy(value, "changed");
    EXPECT_STREQ(static_cast<const char*>(dict_get(d, "name", nullptr)), "first");

    // Replacing frees the old copy; setting the stored copy itself is safe.
    ASSERT_EQ(dict_set(d, "name", "second"), 0);
    auto* stored = static_cast<char*>(dict_get(d, "name", nullptr));
    ASSERT_EQ(dict_set(d, "name", stored), 0);
    EXPECT_STREQ(static_cast<const char*>(dict_get(d, "name", nullptr)), "second");
    ASSERT_EQ(dict_set(d, "other", nullptr), 0);
    EXPECT_EQ(dict_count(d), 2u);
    dict_free(d);
    EXPECT_EQ(pl_mem_stat_get().malloc_count, blocks);
}

// Values handed over under DICT_VAL_FREE are released once; setting the same
// pointer again must not free the value that stays.
TEST(Dict, FreedValues) {
    uint64_t blocks = pl_mem_stat_get().malloc_count;
    dict_ctx* d = dict_new(DICT_VAL_FREE);
    ASSERT_NE(d, nullptr);
    char* v1 = pl_strdup("one");
    ASSERT_EQ(dict_set(d, "k", v1), 0);
    ASSERT_EQ(dict_set(d, "k", v1), 0);
    EXPECT_STREQ(static_cast<const char*>(dict_get(d, "k", nullptr)), "one");  // ASan: not freed
    ASSERT_EQ(dict_set(d, "k", pl_strdup("two")), 0);                           // "one" freed here
    ASSERT_EQ(dict_set(d, "gone", pl_strdup("x")), 0);
    EXPECT_EQ(dict_unset(d, "gone"), 0);
    dict_free(d);
    EXPECT_EQ(pl_mem_stat_get().malloc_count, blocks);
}

TEST(Dict, NextWalksSlotPositions) {
    dict_ctx* d = dict_new(0);
    ASSERT_NE(d, nullptr);
    // Keys whose probes start at slots 2 and 5 of the 8 slots.
    std::string at2, at5;
    for (int i = 0; at2.empty() || at5.empty(); i++) {
        std::string k = "key" + std::to_string(i);
        uint32_t slot = dict_hash(k.c_str(), static_cast<uint32_t>(k.size())) & 7;
        if (slot == 2 && at2.empty()) at2 = k;
        if (slot == 5 && at5.empty()) at5 = k;
    }
    ASSERT_EQ(dict_set(d, at5.c_str(), as_value(5)), 0);
    ASSERT_EQ(dict_set(d, at2.c_str(), as_value(2)), 0);

    const char* key = "x";
    void* value = as_value(1);
    int64_t pos = dict_next(d, 0, &key, &value);
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(key, at2);
    EXPECT_EQ(value, as_value(2));
    pos = dict_next(d, pos, &key, &value);
    EXPECT_EQ(pos, 6);
    EXPECT_EQ(key, at5);
    pos = dict_next(d, pos, &key, &value);
    EXPECT_EQ(pos, -1);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(dict_next(d, -3, &key, &value), -1);
    EXPECT_EQ(dict_next(d, 100, &key, &value), -1);

    // The key list follows the same slot order.
    dict_key_node* keys = nullptr;
    ASSERT_EQ(dict_keys(d, &keys), 0);
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(std::string(keys->key), at2);
    ASSERT_NE(keys->next, nullptr);
    EXPECT_EQ(std::string(keys->next->key), at5);
    EXPECT_EQ(keys->next->next, nullptr);
    dict_keys_free(keys);
    dict_free(d);
}

TEST(Dict, DumpPrintsTextValues) {
    dict_ctx* d = dict_new(DICT_KEY_COPY | DICT_VAL_COPY);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(dict_set(d, "alpha", "one"), 0);
    ASSERT_EQ(dict_set(d, "beta", nullptr), 0);
    char* text = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&text, &len);
    ASSERT_NE(f, nullptr);
    dict_dump(d, f);
    fclose(f);
    std::string out(text, len);
    free(text);
    EXPECT_NE(out.find("                alpha: one\n"), std::string::npos) << out;
    EXPECT_NE(out.find("                 beta: UNDEF\n"), std::string::npos) << out;
    EXPECT_EQ(out.rfind("[rank=", 0), 0u);
    dict_free(d);
}

// Endless insert and delete cycles with few live keys fill the slots with
// tombstones; the table must rebuild itself instead of running out of empty
// slots (where a probe for an absent key would never end).
TEST(Dict, ChurnNeverRunsOutOfEmptySlots) {
    dict_ctx* d = dict_new(DICT_KEY_COPY);
    ASSERT_NE(d, nullptr);
    char key[32];
    for (int i = 0; i < 200000; i++) {
        snprintf(key, sizeof key, "churn-%d", i);
        ASSERT_EQ(dict_set(d, key, as_value(1)), 0);
        if (i >= 3) {
            snprintf(key, sizeof key, "churn-%d", i - 3);
            ASSERT_EQ(dict_unset(d, key), 0);
        }
        ASSERT_LT(uint64_t{d->used} * 3, uint64_t{d->size} * 2);
    }
    EXPECT_EQ(dict_count(d), 3u);
    EXPECT_LE(d->size, 32u);  // rebuilt at the same size, not grown
    void* def = as_value(7);
    EXPECT_EQ(dict_get(d, "never-set", def), def);
    EXPECT_EQ(dict_get(d, "churn-199999", nullptr), as_value(1));
    dict_free(d);
}

// Random operations against std::unordered_map; the walk yields every live
// key exactly once.
TEST(Dict, ModelBased) {
    std::mt19937 rng(99);
    dict_ctx* d = dict_new(DICT_KEY_COPY | DICT_VAL_COPY);
    ASSERT_NE(d, nullptr);
    std::unordered_map<std::string, std::string> model;
    for (int step = 0; step < 50000; step++) {
        std::string k = "k" + std::to_string(rng() % 700);
        switch (rng() % 4) {
            case 0:
            case 1: {
                std::string v = "v" + std::to_string(rng());
                ASSERT_EQ(dict_set(d, k.c_str(), v.c_str()), 0);
                model[k] = v;
                break;
            }
            case 2:
                ASSERT_EQ(dict_unset(d, k.c_str()), model.erase(k) ? 0 : -1);
                break;
            default: {
                auto* got = static_cast<const char*>(dict_get(d, k.c_str(), nullptr));
                auto it = model.find(k);
                if (it == model.end())
                    ASSERT_EQ(got, nullptr);
                else
                    ASSERT_STREQ(got, it->second.c_str());
                break;
            }
        }
        ASSERT_EQ(dict_count(d), model.size());
        if (step % 5000 == 0 || step == 49999) {
            std::map<std::string, std::string> seen;
            const char* key;
            void* value;
            for (int64_t pos = dict_next(d, 0, &key, &value); pos >= 0; pos = dict_next(d, pos, &key, &value))
                ASSERT_TRUE(seen.emplace(key, static_cast<const char*>(value)).second) << "twice: " << key;
            std::map<std::string, std::string> want(model.begin(), model.end());
            ASSERT_EQ(seen, want);
        }
    }
    dict_free(d);
}

// The same text at another address finds the key (hash, then text); the
// very pointer finds it first.
TEST(Dict, KeysWithoutCopiesCompareByText) {
    dict_ctx* d = dict_new(0);
    ASSERT_NE(d, nullptr);
    std::string k1 = "shared";
    ASSERT_EQ(dict_set(d, k1.c_str(), as_value(1)), 0);
    std::string k2 = "shared";
    EXPECT_EQ(dict_get(d, k2.c_str(), nullptr), as_value(1));
    ASSERT_EQ(dict_set(d, k2.c_str(), as_value(2)), 0);
    EXPECT_EQ(dict_count(d), 1u);
    EXPECT_EQ(dict_get(d, k1.c_str(), nullptr), as_value(2));
    dict_free(d);
}

// At the right size and without tombstones a rebuild changes nothing;
// with tombstones it drops them and keeps the size.
TEST(Dict, ResizeKeepsTheRightSize) {
    log_capture cap;
    dict_ctx* d = dict_new(DICT_KEY_COPY);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(dict_set(d, "one", nullptr), 0);
    dict_slot* slots = d->slots;
    EXPECT_EQ(dict_resize(d), 0);
    EXPECT_EQ(d->slots, slots);
    ASSERT_EQ(dict_set(d, "two", nullptr), 0);
    ASSERT_EQ(dict_unset(d, "two"), 0);
    EXPECT_EQ(d->used, 2u);
    EXPECT_EQ(dict_resize(d), 0);
    EXPECT_EQ(d->size, 8u);
    EXPECT_EQ(d->used, 1u);
    EXPECT_EQ(dict_get(d, "one", d), nullptr);
    EXPECT_EQ(dict_resize(nullptr), -1);
    dict_free(d);
    EXPECT_EQ(cap.count(), 0u);
}

}  // namespace

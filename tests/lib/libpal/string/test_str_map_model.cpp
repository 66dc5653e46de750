#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_map.h"

namespace {

// Random adds and sets on every entry layout, sorted and unsorted, checked
// against a std::map model after every step. Keys and values that are not
// copied live in a pool that outlives the map.
TEST(StrMapModel, RandomOperationsMatchModel) {
    const uint32_t layouts[] = {
        STR_MAP_COPY_KEY | STR_MAP_COPY_VAL,
        STR_MAP_COPY_KEY,
        STR_MAP_COPY_VAL,
        0,
        STR_MAP_COPY_KEY | STR_MAP_FREE_VAL,
        STR_MAP_FREE_VAL,
    };
    std::vector<std::string> key_pool;
    for (int i = 0; i < 40; ++i) key_pool.push_back("key" + std::to_string(i * 7919 % 97));
    std::vector<std::string> val_pool;
    for (int i = 0; i < 30; ++i) val_pool.push_back(std::string(static_cast<size_t>(i % 11), 'v') + std::to_string(i));

    pl_mem_stat before = pl_mem_stat_get();
    for (uint32_t layout : layouts) {
        for (bool sorted : {false, true}) {
            std::mt19937 rng(layout * 2 + sorted);
            str_map m{};
            ASSERT_EQ(str_map_init(&m, layout | (sorted ? uint32_t{STR_MAP_SORTED} : 0u)), 0);
            std::map<std::string, std::string> model;
            const bool owns_val = (layout & STR_MAP_FREE_VAL) != 0;
            for (int step = 0; step < 400; ++step) {
                const std::string& k = key_pool[rng() % key_pool.size()];
                const std::string& v = val_pool[rng() % val_pool.size()];
                const char* val = owns_val ? pl_strdup(v.c_str()) : v.c_str();
                bool present = model.count(k) != 0;
                if (rng() % 2) {
                    int rc = str_map_add(&m, k.c_str(), val);
                    ASSERT_EQ(rc, present ? -1 : 0) << k;
                    if (!present) model[k] = v;
                    if (present && owns_val) pl_free(const_cast<char*>(val));
                } else {
                    ASSERT_EQ(str_map_set(&m, k.c_str(), val), 0) << k;
                    model[k] = v;
                }
                ASSERT_EQ(m.count, model.size());
                for (const auto& [mk, mv] : model) {
                    const char* got = str_map_find(&m, mk.c_str());
                    ASSERT_NE(got, nullptr) << mk;
                    ASSERT_EQ(mv, got) << mk << " layout " << layout;
                }
            }
            EXPECT_EQ(str_map_find(&m, "absent"), nullptr);
            if (sorted) {
                size_t i = 0;
                for (const auto& [mk, mv] : model) {
                    EXPECT_EQ(mk, str_map_key(&m, i));
                    EXPECT_EQ(mv, str_map_value(&m, i));
                    ++i;
                }
            } else {
                str_map_sort(&m);
                EXPECT_NE(m.flags & STR_MAP_SORTED, 0u);
                EXPECT_EQ(std::string(str_map_key(&m, 0)), model.begin()->first);
                EXPECT_EQ(str_map_find_index(&m, model.rbegin()->first.c_str()),
                          static_cast<ptrdiff_t>(model.size() - 1));
            }
            str_map_exit(&m);
        }
    }
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
}

TEST(StrMapModel, UncopiedEntriesHoldTheCallersPointers) {
    // No copy bits: plain pointers, and the record compare mode is added.
    str_map m{};
    ASSERT_EQ(str_map_init(&m, 0), 0);
    EXPECT_EQ(m.flags, 8u);
    const char* key = "k";
    const char* val = "v";
    ASSERT_EQ(str_map_add(&m, key, val), 0);
    EXPECT_EQ(str_map_key(&m, 0), key);
    EXPECT_EQ(str_map_value(&m, 0), val);
    str_map_exit(&m);
}

}  // namespace

#include "libpal/memory/mem_ptr.h"

#include <gtest/gtest.h>

#include <vector>

#include "libpal/memory/memory.h"
#include "support/log_capture.h"

#include <unistd.h>

namespace {

struct ptr_array : mem_ptr_ctx {
    explicit ptr_array(uint32_t f) : mem_ptr_ctx{} {
        flags = f;
        EXPECT_EQ(mem_ptr_init(this), 0);
    }
    ~ptr_array() { mem_ptr_exit(this); }
};

int g_objs[40];

std::vector<void*> slots(const mem_ptr_ctx& a) {
    std::vector<void*> v;
    for (uint64_t i = 0; i < mem_ptr_count(&a); i++) v.push_back(mem_ptr_at(&a, i));
    return v;
}

TEST(MemPtr, InitGrowAndUnique) {
    ptr_array a(0);
    EXPECT_EQ(a.capacity, 16u);
    EXPECT_EQ(a.count, 0u);
    for (int i = 0; i < 17; i++) ASSERT_EQ(mem_ptr_add(&a, &g_objs[i]), 0);
    EXPECT_EQ(a.count, 17u);
    EXPECT_GT(a.capacity, 16u);
    EXPECT_EQ(mem_ptr_at(&a, 16), &g_objs[16]);
    EXPECT_EQ(mem_ptr_add(&a, &g_objs[0]), 0);
    EXPECT_EQ(a.count, 18u) << "duplicates allowed without the flag";

    ptr_array u(MEM_PTR_UNIQUE);
    EXPECT_EQ(u.flags, MEM_PTR_UNIQUE) << "init keeps the flags";
    EXPECT_EQ(mem_ptr_add(&u, &g_objs[1]), 0);
    EXPECT_EQ(mem_ptr_add(&u, &g_objs[1]), 0);
    EXPECT_EQ(u.count, 1u);

    log_capture cap;
    EXPECT_EQ(mem_ptr_add(nullptr, &g_objs[0]), -1);
    EXPECT_TRUE(cap.contains("expr[ctx!=NULL]: assert failed"));
}

TEST(MemPtr, RemovalFindAndReserve) {
    ptr_array a(0);
    for (int i = 0; i < 6; i++) mem_ptr_add(&a, &g_objs[i]);
    mem_ptr_add(&a, &g_objs[2]);
    EXPECT_EQ(mem_ptr_find(&a, &g_objs[2]), 2u);
    EXPECT_EQ(mem_ptr_find(&a, &g_objs[30]), ~uint64_t{0});
    EXPECT_EQ(mem_ptr_del(&a, &g_objs[2]), 2);
    EXPECT_EQ(mem_ptr_del(&a, &g_objs[30]), -1);
    EXPECT_EQ(slots(a), (std::vector<void*>{&g_objs[0], &g_objs[1], &g_objs[3], &g_objs[4], &g_objs[5], &g_objs[2]}));
    EXPECT_EQ(mem_ptr_erase(&a, 6), -1);
    EXPECT_EQ(mem_ptr_erase(&a, 5), 0);
    mem_ptr_drop_head(&a, 2);
    EXPECT_EQ(slots(a), (std::vector<void*>{&g_objs[3], &g_objs[4], &g_objs[5]}));
    mem_ptr_drop_head(&a, 10);
    EXPECT_EQ(a.count, 0u);

    EXPECT_EQ(mem_ptr_reserve(&a, 16), -1);
    EXPECT_EQ(mem_ptr_reserve(&a, 100), 0);
    EXPECT_EQ(a.capacity, 100u);
    EXPECT_EQ(a.items[100], 0u);
    for (int i = 0; i < 40; i++) mem_ptr_add(&a, &g_objs[i]);
    EXPECT_EQ(a.capacity, 100u);
    EXPECT_EQ(mem_ptr_clear(&a), 0);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.items[0], 0u);
    mem_ptr_reset(&a);
    EXPECT_EQ(a.capacity, 16u);
}

// ------------------------------------------------------------ memory facts

TEST(Memory, InitRecordsThePageSize) {
    log_capture cap;
    EXPECT_EQ(mem_init(), 0);
    long page = sysconf(_SC_PAGESIZE);
    EXPECT_EQ(mem_get_pagesize(), static_cast<uint32_t>(page));
    EXPECT_EQ(1u << mem_get_pageshift(), mem_get_pagesize());
    EXPECT_GT(mem_get_physical_size(), uint64_t{mem_get_pagesize()});
    EXPECT_TRUE(cap.contains("pagesize=" + std::to_string(page))) << cap.all();
}

TEST(Memory, IsFilled) {
    std::vector<uint8_t> buf(4096, 0);
    struct fill_case {
        size_t at;  // byte changed to 1, or SIZE_MAX
        size_t n;
        uint8_t value;
        int want;
    };
    const fill_case cases[] = {
        {SIZE_MAX, 4096, 0, 1}, {4095, 4096, 0, 0}, {0, 4096, 0, 0}, {2000, 4096, 0, 0},
        {4095, 4095, 0, 1},     {SIZE_MAX, 1, 0, 1}, {SIZE_MAX, 4096, 1, 0}, {SIZE_MAX, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.at << " " << c.n);
        std::fill(buf.begin(), buf.end(), 0);
        if (c.at != SIZE_MAX) buf[c.at] = 1;
        EXPECT_EQ(mem_is_filled(buf.data(), c.value, c.n), c.want);
    }
    std::fill(buf.begin(), buf.end(), 0xFF);
    EXPECT_EQ(mem_is_filled(buf.data(), 0xFF, buf.size()), 1);
}

}  // namespace

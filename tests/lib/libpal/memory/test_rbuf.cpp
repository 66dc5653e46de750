#include "libpal/memory/rbuf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"

namespace {

struct ring_stat {
    uint64_t write_bytes, read_bytes, drop_bytes, write_msgs, read_calls, drop_msgs;
};

ring_stat stat_of(rbuf_ctx* r) {
    ring_stat s{};
    rbuf_get_stat(r, &s.write_bytes, &s.read_bytes, &s.drop_bytes, &s.write_msgs, &s.read_calls, &s.drop_msgs);
    return s;
}

int write_text(rbuf_ctx* r, const std::string& s) { return rbuf_write(r, s.data(), static_cast<uint32_t>(s.size())); }

TEST(Rbuf, InitChecksSizesAndHeaderWidth) {
    {
        log_capture cap;
        EXPECT_EQ(rbuf_init(2, 100), nullptr);
        EXPECT_EQ(rbuf_init(4096, 2), nullptr);
        EXPECT_EQ(rbuf_init(150, 100), nullptr);
        EXPECT_TRUE(cap.contains("expr[all_size>2]: assert failed"));
        EXPECT_TRUE(cap.contains("expr[block_size>2 && block_size<=UINT16_MAX]: assert failed"));
        EXPECT_TRUE(cap.contains("MaxQueueSize=1 <2 error"));
        for (const auto& l : cap.lines()) EXPECT_EQ(l.tag, "bsv");
    }
    struct width_case {
        uint32_t largest;
        uint32_t header;
    };
    for (const width_case c : {width_case{65535, 2}, width_case{65536, 4}, width_case{100000, 4}}) {
        SCOPED_TRACE(c.largest);
        rbuf_ctx* r = rbuf_init(3ull * (c.largest + 4), c.largest);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->bs_byte, c.header);
        EXPECT_EQ(r->block_size, uint64_t{c.largest} + c.header);
        EXPECT_EQ(r->max_count, 3u);
        rbuf_exit(r);
    }
}

// A full ring drops its oldest message and counts it; a raw read then gives
// the three newest, oldest first.
TEST(Rbuf, FullRingDropsTheOldestMessage) {
    rbuf_ctx* r = rbuf_init(3 * (10 + 2), 10);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->max_count, 3u);
    const std::string msgs[] = {"first", "second", "third", "fourth!"};
    for (const auto& m : msgs) ASSERT_EQ(write_text(r, m), 0);

    ring_stat s = stat_of(r);
    EXPECT_EQ(s.drop_msgs, 1u);
    EXPECT_EQ(s.drop_bytes, 5u);
    EXPECT_EQ(s.write_msgs, 4u);
    EXPECT_EQ(s.write_bytes, 5u + 6 + 5 + 7);
    EXPECT_EQ(rbuf_get_pending(r), 6u + 5 + 7);
    EXPECT_EQ(rbuf_get_drop_count(r), 1u);
    EXPECT_EQ(rbuf_has_dropped(r), 1);

    uint8_t raw[64];
    int64_t n = rbuf_read_raw(r, raw, sizeof raw, 0);
    EXPECT_EQ(n, 3 * 2 + 6 + 5 + 7);
    rbuf_raw_cursor cur{raw, static_cast<uint64_t>(n), 0, r->bs_byte};
    for (const auto& want : {msgs[1], msgs[2], msgs[3]}) {
        uint32_t len = 0;
        const uint8_t* m = rbuf_raw_next(&cur, &len);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(m), len), want);
    }
    uint32_t len = 9;
    EXPECT_EQ(rbuf_raw_next(&cur, &len), nullptr);
    EXPECT_EQ(len, 0u);

    s = stat_of(r);
    EXPECT_EQ(s.read_bytes, 18u);
    EXPECT_EQ(s.read_calls, 1u);
    EXPECT_EQ(rbuf_get_pending(r), 0u);
    EXPECT_EQ(rbuf_is_empty(r), 1);
    rbuf_exit(r);
}

TEST(Rbuf, ReadModes) {
    rbuf_ctx* r = rbuf_init(8 * 10, 8);  // slot 10, header 2
    ASSERT_NE(r, nullptr);
    for (const char* m : {"aa", "bbb", "cccc", "dd"}) ASSERT_EQ(write_text(r, m), 0);

    char one[8];
    EXPECT_EQ(rbuf_read(r, one, sizeof one), 2);
    EXPECT_EQ(std::string(one, 2), "aa");

    // Mode 3 takes messages while another of the largest size still fits:
    // "bbb" (3 of 9 used: 6 + 2 < 10 stops).
    char many[9];
    EXPECT_EQ(rbuf_read_many(r, many, sizeof many), 3);
    EXPECT_EQ(std::string(many, 3), "bbb");

    std::vector<std::string> seen;
    static std::vector<std::string>* sink;
    sink = &seen;
    EXPECT_EQ(rbuf_read_cb(r, [](const uint8_t* m, uint32_t len, uint64_t slot, uint64_t counter) {
                  sink->push_back(std::string(reinterpret_cast<const char*>(m), len) + "@" + std::to_string(slot) +
                                  "/" + std::to_string(counter));
              }),
              0);
    EXPECT_EQ(seen, (std::vector<std::string>{"cccc@2/2", "dd@3/3"}));

    EXPECT_EQ(rbuf_read(r, one, sizeof one), 0) << "empty, no wait";
    EXPECT_EQ(rbuf_read_wait(r, one, sizeof one, 2), 0) << "empty after the wait";
    EXPECT_EQ(stat_of(r).read_calls, 3u) << "a read that found nothing to wait for does not count";
    rbuf_exit(r);
}

TEST(Rbuf, BadArgumentsAreRefused) {
    rbuf_ctx* r = rbuf_init(4 * 10, 8);
    ASSERT_NE(r, nullptr);
    char buf[16];
    log_capture cap;
    EXPECT_EQ(rbuf_write(r, nullptr, 3), -1);
    EXPECT_EQ(rbuf_write(r, "x", 0), -1);
    EXPECT_EQ(rbuf_write(r, "123456789", 9), -1);
    EXPECT_EQ(rbuf_alloc_lock(r, 9), nullptr);
    EXPECT_EQ(rbuf_read(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(rbuf_read(r, nullptr, sizeof buf), -1);
    EXPECT_EQ(rbuf_read(r, buf, 7), -1);
    EXPECT_EQ(rbuf_read_raw(r, buf, 9, 0), -1);
    EXPECT_EQ(rbuf_read_cb(r, nullptr), -1);
    EXPECT_EQ(rbuf_get_drop_count(nullptr), 0u);
    EXPECT_EQ(rbuf_exit(nullptr), -1);
    for (const char* m : {"expr[block!=NULL]", "expr[size>0 && size<=ctx->BlockSize-ctx->bs_byte]", "expr[h!=NULL]",
                          "expr[buf!=NULL]", "expr[len+ctx->bs_byte>=ctx->BlockSize]", "expr[len>=ctx->BlockSize]"})
        EXPECT_TRUE(cap.contains(m)) << m;
    // The refusals took no lock: the ring still works.
    EXPECT_EQ(write_text(r, "ok"), 0);
    EXPECT_EQ(rbuf_read(r, buf, sizeof buf), 2);
    rbuf_exit(r);
}

// A message filled in place through rbuf_alloc_lock counts as pending like
// one written by copy, so dropping it later keeps the count right.
TEST(Rbuf, InPlaceWritesAndClear) {
    rbuf_ctx* r = rbuf_init(2 * 10, 8);
    ASSERT_NE(r, nullptr);
    for (int i = 0; i < 3; i++) {
        uint8_t* p = rbuf_alloc_lock(r, 4);
        ASSERT_NE(p, nullptr);
        memcpy(p, "wxyz", 4);
        rbuf_unlock(r);
    }
    EXPECT_EQ(rbuf_get_pending(r), 8u);
    EXPECT_EQ(rbuf_get_drop_count(r), 1u);
    EXPECT_EQ(rbuf_is_full(r), 1);
    EXPECT_EQ(rbuf_write_wait(r, "abc", 3, 1), -2) << "nobody reads";

    EXPECT_EQ(rbuf_clear(r), 0);
    EXPECT_EQ(rbuf_is_empty(r), 1);
    EXPECT_EQ(rbuf_get_pending(r), 0u);
    ring_stat s = stat_of(r);
    EXPECT_EQ(s.write_msgs + s.drop_msgs + s.write_bytes, 0u);
    EXPECT_EQ(rbuf_write_wait(r, "abc", 3, 1), 0);
    rbuf_exit(r);
}

// Wide rings write 4-byte headers; the raw cursor walks them when told so,
// and never reads past its buffer on a header that claims too much.
TEST(Rbuf, RawCursorHeaderWidthsAndBounds) {
    rbuf_ctx* r = rbuf_init(2 * (70000 + 4), 70000);
    ASSERT_NE(r, nullptr);
    std::string big(70000, 'q');
    ASSERT_EQ(write_text(r, "hi"), 0);
    std::vector<uint8_t> raw(r->block_size);
    int64_t n = rbuf_read_raw(r, raw.data(), raw.size(), 0);
    ASSERT_EQ(n, 4 + 2);
    rbuf_raw_cursor cur{raw.data(), static_cast<uint64_t>(n), 0, r->bs_byte};
    uint32_t len = 0;
    const uint8_t* m = rbuf_raw_next(&cur, &len);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m), len), "hi");
    ASSERT_EQ(write_text(r, big), 0);
    n = rbuf_read_raw(r, raw.data(), raw.size(), 0);
    ASSERT_EQ(n, 70004);
    cur = rbuf_raw_cursor{raw.data(), static_cast<uint64_t>(n), 0, 4};
    m = rbuf_raw_next(&cur, &len);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(len, 70000u);
    rbuf_exit(r);

    // Narrow headers (0 means 2); a truncated or lying buffer ends the walk.
    const uint8_t buf[] = {3, 0, 'a', 'b', 'c', 9, 0, 'x'};
    struct walk_case {
        uint64_t len;
        int messages;
    };
    for (const walk_case c : {walk_case{5, 1}, walk_case{8, 1}, walk_case{6, 1}, walk_case{1, 0}}) {
        SCOPED_TRACE(c.len);
        rbuf_raw_cursor w{buf, c.len, 0, 0};
        int count = 0;
        while (rbuf_raw_next(&w, &len)) count++;
        EXPECT_EQ(count, c.messages);
    }
}

// Several writers and one reader on real threads. Every message carries its
// writer, sequence number and a check byte: whatever the reader gets is
// whole and, per writer, in order; every message written is either read or
// counted as dropped.
TEST(Rbuf, WritersAndReaderAccountForEveryMessage) {
    constexpr int k_writers = 3;
    constexpr uint32_t k_per_writer = 3000;
    struct msg {
        uint32_t writer;
        uint32_t seq;
        uint8_t fill[24];
    };
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE(round);
        rbuf_ctx* r = rbuf_init(16 * (sizeof(msg) + 2), sizeof(msg));
        ASSERT_NE(r, nullptr);
        std::atomic<int> writers_left{k_writers};
        std::vector<std::thread> writers;
        for (int w = 0; w < k_writers; w++)
            writers.emplace_back([&, w] {
                for (uint32_t s = 0; s < k_per_writer; s++) {
                    msg m{static_cast<uint32_t>(w), s, {}};
                    uint32_t size = 8 + (s % 24);
                    for (uint32_t k = 0; k + 8 < size; k++) m.fill[k] = static_cast<uint8_t>(w * 7 + s + k);
                    rbuf_write(r, &m, size);
                }
                writers_left.fetch_sub(1);
            });

        uint64_t read_msgs = 0, bad = 0;
        int64_t last[k_writers] = {-1, -1, -1};
        for (;;) {
            bool done = writers_left.load() == 0;
            msg m;
            int64_t n = rbuf_read_wait(r, &m, sizeof m, 1);
            if (n > 0) {
                read_msgs++;
                bool ok = n >= 8 && m.writer < k_writers && static_cast<int64_t>(m.seq) > last[m.writer] &&
                          n == 8 + m.seq % 24;
                for (int64_t k = 0; ok && k + 8 < n; k++) ok = m.fill[k] == static_cast<uint8_t>(m.writer * 7 + m.seq + k);
                if (ok) last[m.writer] = m.seq;
                else bad++;
            } else if (done && rbuf_is_empty(r)) {
                break;
            }
        }
        for (auto& t : writers) t.join();

        ring_stat s = stat_of(r);
        EXPECT_EQ(bad, 0u);
        EXPECT_EQ(s.write_msgs, uint64_t{k_writers} * k_per_writer);
        EXPECT_EQ(read_msgs + s.drop_msgs, s.write_msgs);
        EXPECT_EQ(s.read_bytes + s.drop_bytes, s.write_bytes);
        EXPECT_EQ(rbuf_get_pending(r), 0u);
        rbuf_exit(r);
    }
}

}  // namespace

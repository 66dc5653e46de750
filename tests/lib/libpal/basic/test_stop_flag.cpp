// The stop request that the network waits, the transfer driver, the remote
// client's retries and the device jobs all ask through one check.
#include <gtest/gtest.h>

#include <cstdint>

#include "libpal/basic/stop_flag.h"

namespace {

struct probe {
    int answer;
    int calls;
    uint32_t last_ms;
};

int ask(void* arg, uint32_t ms) {
    auto* p = static_cast<probe*>(arg);
    ++p->calls;
    p->last_ms = ms;
    return p->answer;
}

TEST(StopFlag, WordThenCallbackWithTheWaitNeverNegative) {
    struct row {
        uint32_t word;
        bool with_cb;
        int answer;
        int32_t ms;
        bool stopped;
        int calls;         // the callback is not asked once the word says stop
        uint32_t seen_ms;  // what the callback was given
    };
    constexpr row rows[] = {
        {0, false, 0, 300, false, 0, 0},  // nothing set: never stopped
        {1, false, 0, 300, true, 0, 0},   // the word alone
        {1, true, 0, 300, true, 0, 0},    // the word wins; no call
        {0, true, 0, 300, false, 1, 300}, // the callback says go on
        {0, true, 1, 300, true, 1, 300},  // the callback says stop
        {0, true, 1, -5, true, 1, 0},     // a negative wait is handed over as 0
        {0, true, 7, 0, true, 1, 0},      // any non-zero answer stops
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "word=" << r.word << " cb=" << r.with_cb << " answer=" << r.answer
                                        << " ms=" << r.ms);
        probe p{r.answer, 0, 12345};
        stop_flag s{};
        s.stop.store(r.word);
        if (r.with_cb) {
            s.cb = &ask;
            s.arg = &p;
        }
        EXPECT_EQ(pl_stop_requested(&s, r.ms), r.stopped);
        EXPECT_EQ(p.calls, r.calls);
        if (r.calls) {
            EXPECT_EQ(p.last_ms, r.seen_ms);
        }
    }
    EXPECT_FALSE(pl_stop_requested(nullptr, 100));
    // Without a wait the callback is asked with 0.
    probe p{0, 0, 12345};
    stop_flag s{};
    s.cb = &ask;
    s.arg = &p;
    EXPECT_FALSE(pl_stop_requested(&s));
    EXPECT_EQ(p.last_ms, 0u);
}

}  // namespace

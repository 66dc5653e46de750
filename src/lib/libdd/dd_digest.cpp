#include "libdd/dd_digest.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

namespace {

constexpr size_t k_slots = 4;
constexpr size_t k_slot_size = 4u << 20;
// How long the stop waits for the thread to digest what it holds.
constexpr uint32_t k_stop_ms = 10000;

struct slot {
    uint8_t* buf;
    size_t len;
};

}  // namespace

struct dd_digest {
    bool md5;
    bool sha1;
    pl_md5_ctx md5_ctx;
    pl_sha1_ctx sha1_ctx;
    slot slots[k_slots];
    std::mutex mu;
    std::condition_variable cv;
    std::mutex peek_mu;  // one reader of the running digests at a time
    uint64_t fed = 0;      // slots handed over
    uint64_t digested = 0; // slots finished
    bool busy = false;     // the thread is updating the contexts
    bool hold = false;     // a reader wants the contexts as of hold_at slots
    uint64_t hold_at = 0;
    bool quit = false;
    os_thread_ctx* thread = nullptr;
};

namespace {

int32_t digest_thread(void* arg) {
    auto* d = static_cast<dd_digest*>(arg);
    std::unique_lock<std::mutex> lk(d->mu);
    auto may_take = [d] { return d->digested < d->fed && (!d->hold || d->digested < d->hold_at); };
    while (true) {
        d->cv.wait(lk, [&] { return may_take() || (d->quit && d->digested == d->fed); });
        if (!may_take()) return 0;
        slot& s = d->slots[d->digested % k_slots];
        d->busy = true;
        lk.unlock();
        if (d->md5) pl_md5_update(&d->md5_ctx, s.buf, s.len);
        if (d->sha1) pl_sha1_update(&d->sha1_ctx, s.buf, s.len);
        lk.lock();
        d->busy = false;
        ++d->digested;
        d->cv.notify_all();
    }
}

}  // namespace

dd_digest* dd_digest_start(bool md5, bool sha1, bool* failed) {
    *failed = false;
    if (!md5 && !sha1) return nullptr;
    void* mem = pl_zalloc(sizeof(dd_digest));
    if (!mem) {
        *failed = true;
        return nullptr;
    }
    auto* d = new (mem) dd_digest();
    d->md5 = md5;
    d->sha1 = sha1;
    pl_md5_init(&d->md5_ctx);
    pl_sha1_init(&d->sha1_ctx);
    for (auto& s : d->slots) {
        s.buf = static_cast<uint8_t*>(pl_aligned_alloc(k_slot_size, 64));
        if (!s.buf) {
            *failed = true;
            dd_digest_stop(d);
            return nullptr;
        }
    }
    d->thread = os_thread_create("dd_digest", &digest_thread, d, 0);
    if (!d->thread) {
        *failed = true;
        dd_digest_stop(d);
        return nullptr;
    }
    return d;
}

void dd_digest_feed(dd_digest* d, const void* buf, size_t len) {
    if (!d) return;
    auto* p = static_cast<const uint8_t*>(buf);
    while (len > 0) {
        size_t n = std::min(len, k_slot_size);
        std::unique_lock<std::mutex> lk(d->mu);
        d->cv.wait(lk, [d] { return d->fed - d->digested < k_slots; });
        slot& s = d->slots[d->fed % k_slots];
        lk.unlock();
        memcpy(s.buf, p, n);
        s.len = n;
        lk.lock();
        ++d->fed;
        d->cv.notify_all();
        p += n;
        len -= n;
    }
}

void dd_digest_peek(dd_digest* d, uint8_t* md5_out, uint8_t* sha1_out) {
    if (!d) return;
    std::lock_guard<std::mutex> one(d->peek_mu);
    std::unique_lock<std::mutex> lk(d->mu);
    d->hold = true;
    d->hold_at = d->fed;
    d->cv.wait(lk, [d] { return d->digested >= d->hold_at && !d->busy; });
    // Copies of the contexts, so the running digests go on.
    pl_md5_ctx m = d->md5_ctx;
    pl_sha1_ctx s = d->sha1_ctx;
    d->hold = false;
    d->cv.notify_all();
    lk.unlock();
    if (md5_out) pl_md5_final(&m, md5_out);
    if (sha1_out) pl_sha1_final(&s, sha1_out);
}

void dd_digest_stop(dd_digest* d) {
    if (!d) return;
    if (d->thread) {
        {
            std::lock_guard<std::mutex> lk(d->mu);
            d->quit = true;
        }
        d->cv.notify_all();
        // Digesting what is queued takes little time; a thread that does not
        // end within the limit is left behind with its buffers.
        if (os_thread_join_or_leave(d->thread, k_stop_ms, nullptr) != 0) {
            LOG2(LOG2_ERR, "dd_a", "the digest thread did not end: its buffers stay in memory\n");
            return;
        }
    }
    for (auto& s : d->slots) pl_aligned_free(s.buf);
    d->~dd_digest();
    pl_free(d);
}

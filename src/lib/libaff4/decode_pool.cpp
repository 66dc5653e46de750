// The decoding threads of an image: a queue of chunk slots under one lock,
// threads that take them in order, and the reader waiting for each slot it
// queued. The library links nothing of the project: std::thread only.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <system_error>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

constexpr unsigned k_max_threads = 64;
// Slots per thread: one being decoded, one waiting, so a thread never idles
// while the reader hands out the next chunk.
constexpr unsigned k_slots_per_thread = 2;
static_assert(k_max_threads * k_slots_per_thread <= k_max_slots);

std::atomic<unsigned> g_threads{0};

// The processors this process may run on (a process pinned to one core reads
// as it did with no threads).
unsigned processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    int n = CPU_COUNT(&set);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

// The oldest queued run, taken off the queue (under the lock), or nullptr.
decode_slot* take(decode_pool& p) {
    if (p.queued == 0) return nullptr;
    decode_slot* t = p.queue[p.head];
    p.head = (p.head + 1) % p.queue.size();
    --p.queued;
    return t;
}

void worker(decode_pool* p) {
    std::unique_lock<std::mutex> guard(p->lock);
    for (;;) {
        p->work.wait(guard, [p] { return p->stop || p->queued > 0; });
        if (p->stop) return;
        decode_slot* t = take(*p);
        guard.unlock();
        slot_decode(*t);
        guard.lock();
        t->busy = false;
        if (p->awaited == t) p->done.notify_one();
    }
}

}  // namespace

void set_decode_threads(unsigned n) { g_threads.store(n); }

std::unique_ptr<decode_pool> pool_create() {
    unsigned n = g_threads.load();
    if (n == 0) n = processors();
    n = std::min(n, k_max_threads);
    if (n < 2) return nullptr;
    auto p = std::make_unique<decode_pool>();
    p->want = n;
    p->slots.resize(size_t{n} * k_slots_per_thread);
    p->queue.assign(p->slots.size(), nullptr);
    for (decode_slot& t : p->slots) t.why.reserve(512);  // a thread's failure text never allocates
    return p;
}

bool pool_ready(decode_pool& p) {
    if (!p.tried) {
        p.tried = true;
        p.threads.reserve(p.want);
        try {
            for (unsigned i = 0; i < p.want; ++i) p.threads.emplace_back(worker, &p);
        } catch (const std::system_error&) {
            // Fewer threads than processors still decode; none leaves the reader alone.
        }
    }
    return !p.threads.empty();
}

void pool_submit(decode_pool& p, decode_slot* const* list, size_t n) {
    if (n == 0) return;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        // A slot is queued once until it is done: the ring always has room.
        for (size_t i = 0; i < n; ++i) {
            list[i]->busy = true;
            p.queue[(p.head + p.queued) % p.queue.size()] = list[i];
            ++p.queued;
        }
    }
    // One wake-up for the lot: a thread that finds the queue empty sleeps again.
    if (n == 1) p.work.notify_one();
    else p.work.notify_all();
}

void pool_wait(decode_pool& p, decode_slot& t) {
    std::unique_lock<std::mutex> guard(p.lock);
    while (t.busy) {
        // Rather than sleep, the reader decodes a run no thread has taken yet.
        if (decode_slot* x = take(p)) {
            guard.unlock();
            slot_decode(*x);
            guard.lock();
            x->busy = false;
            continue;
        }
        p.awaited = &t;
        p.done.wait(guard);
        p.awaited = nullptr;
    }
}

bool pool_done(decode_pool& p, const decode_slot& t) {
    std::lock_guard<std::mutex> guard(p.lock);
    return !t.busy;
}

decode_pool::~decode_pool() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
    }
    work.notify_all();
    for (std::thread& t : threads) t.join();
}

}  // namespace aff4

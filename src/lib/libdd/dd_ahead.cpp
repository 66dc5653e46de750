// The copy's read-ahead: while the loop writes one block, a thread of its
// own reads the next ones, so that reading and writing overlap.
//
// It runs only where a read at an offset gives the same bytes whenever it is
// made (bd_read_ahead_fn: a plain local regular file, or an image such as
// ".kxz", VDI, AFF4 or the image libraries' kinds), and it only ever runs
// ahead of the loop: a block is taken from it when its reads hold exactly the
// bytes the loop's own read would have returned. Anything else - a failed or
// short read, the end of the data, a stop, a block it does not hold - ends it
// for the rest of the pass, and the loop reads from there on as it always
// does, with its messages, retries and fills.
//
// An image is read through its driver, which logs, moves the device's
// position and fills its error record. The loop makes no call on the device
// while the thread runs; the thread's messages are held with its reads and
// written when the loop takes their block (dropped with a read it does not
// take, which the loop then makes itself); when the thread ends, the error
// record is what it was before. The position it moved does not matter: the
// loop reads such an input at its own offset (dd_ctx::in_positioned).
//
// Memory: two or three pieces, each the block size rounded up to at least
// 256 KiB; at most three of 4 MiB or two of 16 MiB (blocks larger than 16 MiB
// are not read ahead), so 32 MiB at most.
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "libdd/dd.h"
#include "libdd/dd_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

namespace {

// Small blocks are read in pieces of at least this size and handed out of
// them; a block this large or larger is read alone and handed over whole.
constexpr uint64_t k_piece_min = 256u << 10;
// Larger blocks are not read ahead: the buffers would double the memory.
constexpr uint64_t k_block_max = 16u << 20;
constexpr size_t k_slots_max = 3;
// How often a wait for the thread looks at the stop request.
constexpr int k_stop_poll_ms = 50;

struct slot {
    uint8_t* buf = nullptr;
    uint64_t off = 0;
    int64_t n = 0;  // what the read returned
    int err = 0;    // errno of a failed read
    log2_held held;     // the messages of the read
    bool told = false;  // they were written
};

}  // namespace

struct dd_ahead {
    file_read_fn read = nullptr;
    void* arg = nullptr;
    uint64_t piece = 0;  // bytes each read asks for
    uint64_t limit = 0;  // no read starts at or past this offset
    size_t nslots = 0;
    slot slots[k_slots_max];
    std::mutex mu;
    std::condition_variable cv;
    uint64_t filled = 0;  // slots read (the thread's count)
    uint64_t taken = 0;   // slots the loop is done with
    bool ended = false;   // the thread reads no more
    bool quit = false;
    // An image read through its driver: its error record before the thread
    // started, restored when the thread ends.
    bool image = false;
    bd_dev* dev = nullptr;
    verr_info verr{};
    os_thread_ctx* thread = nullptr;
};

namespace {

int32_t ahead_thread(void* p) {
    auto* a = static_cast<dd_ahead*>(p);
    uint64_t off = a->slots[0].off;
    std::unique_lock<std::mutex> lk(a->mu);
    while (true) {
        a->cv.wait(lk, [a] { return a->quit || a->filled - a->taken < a->nslots; });
        if (a->quit || off >= a->limit) break;
        slot& s = a->slots[a->filled % a->nslots];
        lk.unlock();
        log2_held_clear(&s.held);
        s.told = false;
        log2_hold(&s.held);
        int64_t n = file_read_once(a->read, a->arg, s.buf, a->piece, static_cast<int64_t>(off));
        const int err = n < 0 ? errno : 0;
        log2_hold(nullptr);
        lk.lock();
        s.off = off;
        s.n = n;
        s.err = err;
        ++a->filled;
        a->cv.notify_all();
        // A failure, a short read or the end: what follows is the loop's.
        if (n != static_cast<int64_t>(a->piece)) break;
        off += a->piece;
    }
    a->ended = true;
    a->cv.notify_all();
    return 0;
}

void free_ahead(dd_ahead* a) {
    for (slot& s : a->slots) pl_aligned_free(s.buf);
    a->~dd_ahead();
    pl_free(a);
}

// The bytes the pass is still to read, or 0 when unknown.
uint64_t bytes_left(const dd_ctx* ctx) {
    if (ctx->in_end) return ctx->in_end > ctx->i_offset ? ctx->in_end - ctx->i_offset : 0;
    uint64_t left = ctx->in_size > ctx->i_offset ? ctx->in_size - ctx->i_offset : 0;
    if (ctx->count != static_cast<int64_t>(DD_ALL)) {
        int64_t records = ctx->count - ctx->records_in_full - ctx->records_in_part;
        uint64_t counted = records > 0 ? static_cast<uint64_t>(records) * static_cast<uint64_t>(ctx->ibs) : 0;
        left = left ? std::min(left, counted) : counted;
    }
    return left;
}

// Bytes each read asks for: whole blocks, at least k_piece_min.
uint64_t piece_of(uint64_t ibs) { return std::max<uint64_t>(1, (k_piece_min + ibs - 1) / ibs) * ibs; }

// The read of a pass that is worth reading ahead, or none.
file_read_fn wanted(const dd_ctx* ctx) {
    if (ctx->mode != DD_MODE_COPY || !ctx->in_dev || ctx->in_stream || ctx->pack.on || ctx->in_dev->readz_on ||
        ctx->cool_down_work || ctx->ibs <= 0 || static_cast<uint64_t>(ctx->ibs) > k_block_max)
        return nullptr;
    // A pass of a read or two gains nothing from a thread.
    if (bytes_left(ctx) < 2 * piece_of(static_cast<uint64_t>(ctx->ibs))) return nullptr;
    return bd_read_ahead_fn(ctx->in_dev, ctx->need_out ? ctx->out_dev : nullptr);
}

}  // namespace

void dd_ahead_start(dd_ctx* ctx) {
    ctx->ahead = nullptr;
    file_read_fn read = wanted(ctx);
    if (!read) return;
    void* mem = pl_zalloc(sizeof(dd_ahead));
    if (!mem) return;
    auto* a = new (mem) dd_ahead();
    a->read = read;
    a->arg = ctx->in_dev;
    a->dev = ctx->in_dev;
    a->image = ctx->in_dev->drv != bd_file_drv();
    if (a->image) a->verr = ctx->in_dev->verr;
    a->piece = piece_of(static_cast<uint64_t>(ctx->ibs));
    a->nslots = a->piece <= (4u << 20) ? 3 : 2;
    a->limit = ctx->i_offset + bytes_left(ctx);
    for (size_t i = 0; i < a->nslots; ++i) {
        a->slots[i].buf = static_cast<uint8_t*>(pl_aligned_alloc(static_cast<size_t>(a->piece), k_page));
        if (!a->slots[i].buf) {
            free_ahead(a);
            return;
        }
    }
    a->slots[0].off = ctx->i_offset;
    a->thread = os_thread_create("dd_ahead", &ahead_thread, a, 0);
    if (!a->thread) {
        free_ahead(a);
        return;
    }
    LOG2(LOG2_DBG, "dd_a", "read-ahead: %zu pieces of %llu bytes from %llu\n", a->nslots,
         static_cast<unsigned long long>(a->piece), static_cast<unsigned long long>(ctx->i_offset));
    ctx->ahead = a;
}

void dd_ahead_end(dd_ctx* ctx) {
    dd_ahead* a = ctx->ahead;
    if (!a) return;
    ctx->ahead = nullptr;
    {
        std::lock_guard<std::mutex> lk(a->mu);
        a->quit = true;
    }
    a->cv.notify_all();
    // The thread ends after the read it is in, as the loop's own read would.
    os_thread_join_or_leave(a->thread, OS_WAIT_FOREVER, nullptr);
    if (a->image) a->dev->verr = a->verr;
    free_ahead(a);
}

int64_t dd_ahead_take(dd_ctx* ctx, int64_t len) {
    dd_ahead* a = ctx->ahead;
    if (!a || len <= 0) return 0;
    const uint64_t want = static_cast<uint64_t>(len);
    std::unique_lock<std::mutex> lk(a->mu);
    // A stop ends the wait: the read the thread is in ends the pass.
    while (a->filled == a->taken && !a->ended) {
        if (dd_stopped(ctx)) return DD_STOPPED;
        a->cv.wait_for(lk, std::chrono::milliseconds(k_stop_poll_ms));
    }
    bool have = a->filled > a->taken;
    slot& s = a->slots[a->taken % a->nslots];
    lk.unlock();
    if (have && s.n > 0 && s.off <= ctx->i_offset && ctx->i_offset + want <= s.off + static_cast<uint64_t>(s.n)) {
        const uint64_t at = ctx->i_offset - s.off;
        // The read's messages, when the loop would have made it.
        if (!s.told) {
            log2_held_write(&s.held);
            s.told = true;
        }
        // A whole piece that is one block changes places with the read
        // buffer; a buffer the output shares goes with it.
        if (at == 0 && want == a->piece && ctx->ibuf_size == a->piece) {
            if (ctx->obuf == ctx->ibuf) ctx->obuf = s.buf;
            std::swap(ctx->ibuf, s.buf);
        } else {
            memcpy(ctx->ibuf, s.buf + at, static_cast<size_t>(want));
        }
        if (at + want == static_cast<uint64_t>(s.n)) {
            lk.lock();
            ++a->taken;
            a->cv.notify_all();
        }
        return len;
    }
    if (dd_stopped(ctx)) return DD_STOPPED;
    if (have && s.n < 0)
        LOG2(LOG2_DBG, "dd_a", "read-ahead at %llu failed (%s): the block is read again in order\n",
             static_cast<unsigned long long>(s.off), strerror(s.err));
    // Not held: the loop reads on at i_offset itself (its reads of such an
    // input are positioned, so the device's position, which the reads ahead
    // moved, does not matter).
    dd_ahead_end(ctx);
    return 0;
}

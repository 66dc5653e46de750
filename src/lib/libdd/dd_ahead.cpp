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
//
// Into a ".kxz" image that packs the blocks itself, threads of the read-ahead
// (one per processor beyond the loop's, at most four) also pack each whole
// block it read, with the image's method and the capacity the image's own
// pack gives, so the record is byte for byte the one the image would make;
// the loop then hands the image that record with the plain block's length
// (bd_write_packed), in the same order and with the same failures as before.
// A slot then also holds room for its packed records (twice its piece), and
// there are up to two slots more than packers; pieces of 4 MiB at most, and
// 48 MiB in all.
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "libdd/dd.h"
#include "libdd/dd_priv.h"
#include "libpack/pack.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

namespace {

// Small blocks are read in pieces of at least this size and handed out of
// them; a block this large or larger is read alone and handed over whole.
constexpr uint64_t k_piece_min = 256u << 10;
// Larger blocks are not read ahead: the buffers would double the memory.
constexpr uint64_t k_block_max = 16u << 20;
constexpr size_t k_slots_max = 6;
constexpr size_t k_packers_max = 4;
// Packing ahead: pieces of at most this size, all buffers together at most
// k_pack_mem.
constexpr uint64_t k_pack_piece_max = 4u << 20;
constexpr uint64_t k_pack_mem = 48u << 20;
// How often a wait for the thread looks at the stop request.
constexpr int k_stop_poll_ms = 50;

struct slot {
    uint8_t* buf = nullptr;
    uint64_t off = 0;
    int64_t n = 0;  // what the read returned
    int err = 0;    // errno of a failed read
    log2_held held;     // the messages of the read
    bool told = false;  // they were written
    // Packing ahead: the record of each whole block (twice the block each),
    // its length (0: none, the loop packs that block), and whether the
    // packers are done with the slot.
    uint8_t* zbuf = nullptr;
    int64_t* zlen = nullptr;
    bool packed = false;
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
    std::condition_variable cv;       // the loop waits here for its next slot
    std::condition_variable room;     // the reader, for a slot to read into
    std::condition_variable work;     // the packers, for a slot read
    uint64_t filled = 0;  // slots read (the thread's count)
    uint64_t taken = 0;   // slots the loop is done with
    bool ended = false;   // the thread reads no more
    bool quit = false;
    // An image read through its driver: its error record before the thread
    // started, restored when the thread ends.
    bool image = false;
    verr_info verr{};
    os_thread_ctx* thread = nullptr;
    // Packing ahead (pack_type none: off).
    uint32_t pack_type = PACK_NONE;
    uint64_t block = 0;    // the block length, the image's
    uint64_t to_pack = 0;  // the next slot (count) a packer takes
    size_t npackers = 0;
    os_thread_ctx* packers[k_packers_max] = {};
    uint8_t* spare_z = nullptr;  // a slot's records, swapped out as the slot goes back
    // The record of the block the last take handed over.
    const uint8_t* give_buf = nullptr;
    uint64_t give_len = 0;
    const uint8_t* give_z = nullptr;
    int64_t give_zlen = 0;
};

namespace {

int32_t ahead_thread(void* p) {
    auto* a = static_cast<dd_ahead*>(p);
    uint64_t off = a->slots[0].off;
    std::unique_lock<std::mutex> lk(a->mu);
    while (true) {
        a->room.wait(lk, [a] { return a->quit || a->filled - a->taken < a->nslots; });
        if (a->quit || off >= a->limit) break;
        slot& s = a->slots[a->filled % a->nslots];
        s.packed = false;
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
        if (a->npackers > 0) a->work.notify_one();
        else a->cv.notify_all();
        // A failure, a short read or the end: what follows is the loop's.
        if (n != static_cast<int64_t>(a->piece)) break;
        off += a->piece;
    }
    a->ended = true;
    a->cv.notify_all();
    a->work.notify_all();
    return 0;
}

// A packer: takes the slots in the order they were read and packs their
// whole blocks; a block whose pack fails is left to the loop.
int32_t pack_thread(void* p) {
    auto* a = static_cast<dd_ahead*>(p);
    zcomp_ctx zc{};
    zc.id = a->pack_type;
    const bool open = zcomp_open_ex(&zc) == 0;
    const auto block = static_cast<int64_t>(a->block);
    std::unique_lock<std::mutex> lk(a->mu);
    while (true) {
        a->work.wait(lk, [a] { return a->quit || a->to_pack < a->filled || a->ended; });
        if (a->quit || a->to_pack >= a->filled) break;
        slot& s = a->slots[a->to_pack % a->nslots];
        ++a->to_pack;
        lk.unlock();
        const int64_t whole = s.n > 0 ? s.n / block : 0;
        for (int64_t i = 0; i < whole; ++i) {
            int64_t z = open ? zcomp_pack(&zc, s.buf + i * block, block, s.zbuf + i * 2 * block, 2 * block) : 0;
            s.zlen[i] = z > 0 ? z : 0;
        }
        lk.lock();
        s.packed = true;
        a->cv.notify_all();
    }
    zcomp_close(&zc);
    return 0;
}

// Whether the loop may take the slot at its turn: read, and packed when
// packing ahead.
bool head_ready(const dd_ahead* a) {
    return a->filled > a->taken && (a->pack_type == PACK_NONE || a->slots[a->taken % a->nslots].packed);
}

void free_ahead(dd_ahead* a) {
    for (slot& s : a->slots) {
        pl_aligned_free(s.buf);
        pl_aligned_free(s.zbuf);
        pl_free(s.zlen);
    }
    pl_aligned_free(a->spare_z);
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

// Packers for an output image that packs whole blocks the loop hands it
// unchanged: the image's method and block length, 0 packers when not.
size_t packers_for(const dd_ctx* ctx, uint64_t piece, bd_pack_param* p) {
    const uint32_t changes = DD_F_SYNC | DD_F_SWAB | DD_F_OBUF;
    if (!ctx->need_out || bd_drv_type(ctx->out_dev) != BD_DRV_KXZ || (ctx->flags & changes) || ctx->crypt.cipher ||
        ctx->ibs != ctx->obs || piece > k_pack_piece_max)
        return 0;
    if (bd_get_pack_param(ctx->out_dev, p) != 0 || p->pack_type == PACK_NONE ||
        p->block_len != static_cast<uint64_t>(ctx->ibs))
        return 0;
    const uint32_t cpus = os_cpu_count();
    return cpus < 2 ? 0 : std::min<size_t>(k_packers_max, cpus - 1);
}

// Stops the packers (after the block each is packing) and joins them.
void end_packers(dd_ahead* a) {
    {
        std::lock_guard<std::mutex> lk(a->mu);
        a->quit = true;
    }
    a->work.notify_all();
    for (size_t i = 0; i < a->npackers; ++i) os_thread_join_or_leave(a->packers[i], OS_WAIT_FOREVER, nullptr);
    a->npackers = 0;
}

// Room for packed records in every slot; false when it cannot be had.
bool pack_room(dd_ahead* a) {
    const size_t blocks = static_cast<size_t>(a->piece / a->block);
    const auto zsize = static_cast<size_t>(2 * a->piece);
    a->spare_z = static_cast<uint8_t*>(pl_aligned_alloc(zsize, k_page));
    if (!a->spare_z) return false;
    for (size_t i = 0; i < a->nslots; ++i) {
        a->slots[i].zbuf = static_cast<uint8_t*>(pl_aligned_alloc(zsize, k_page));
        a->slots[i].zlen = static_cast<int64_t*>(pl_zalloc(blocks * sizeof(int64_t)));
        if (!a->slots[i].zbuf || !a->slots[i].zlen) return false;
    }
    return true;
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
    a->image = ctx->in_dev->drv != bd_file_drv();
    if (a->image) a->verr = ctx->in_dev->verr;
    a->piece = piece_of(static_cast<uint64_t>(ctx->ibs));
    a->nslots = a->piece <= (4u << 20) ? 3 : 2;
    a->limit = ctx->i_offset + bytes_left(ctx);
    bd_pack_param pp{};
    const size_t npackers = packers_for(ctx, a->piece, &pp);
    if (npackers > 0) {
        // A slot: its piece and twice that for the records.
        const uint64_t fit = k_pack_mem / (3 * a->piece);
        a->nslots = static_cast<size_t>(std::clamp<uint64_t>(fit, 3, npackers + 2));
        a->pack_type = pp.pack_type;
        a->block = static_cast<uint64_t>(ctx->ibs);
    }
    for (size_t i = 0; i < a->nslots; ++i) {
        a->slots[i].buf = static_cast<uint8_t*>(pl_aligned_alloc(static_cast<size_t>(a->piece), k_page));
        if (!a->slots[i].buf) {
            free_ahead(a);
            return;
        }
    }
    if (a->pack_type != PACK_NONE && !pack_room(a)) {
        free_ahead(a);
        return;
    }
    a->slots[0].off = ctx->i_offset;
    if (a->pack_type != PACK_NONE) {
        for (size_t i = 0; i < npackers; ++i) {
            a->packers[i] = os_thread_create("dd_pack", &pack_thread, a, 0);
            if (!a->packers[i]) break;
            a->npackers = i + 1;
        }
        // Without a packer the slots would never be ready: the read-ahead reads only.
        if (a->npackers == 0) a->pack_type = PACK_NONE;
    }
    a->thread = os_thread_create("dd_ahead", &ahead_thread, a, 0);
    if (!a->thread) {
        end_packers(a);
        free_ahead(a);
        return;
    }
    LOG2(LOG2_DBG, "dd_a", "read-ahead: %zu pieces of %llu bytes from %llu, %zu packers\n", a->nslots,
         static_cast<unsigned long long>(a->piece), static_cast<unsigned long long>(ctx->i_offset), a->npackers);
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
    a->room.notify_all();
    a->work.notify_all();
    // The thread ends after the read it is in, as the loop's own read would.
    os_thread_join_or_leave(a->thread, OS_WAIT_FOREVER, nullptr);
    end_packers(a);
    if (a->image) static_cast<bd_dev*>(a->arg)->verr = a->verr;
    free_ahead(a);
}

int64_t dd_ahead_take(dd_ctx* ctx, int64_t len) {
    dd_ahead* a = ctx->ahead;
    if (!a || len <= 0) return 0;
    const uint64_t want = static_cast<uint64_t>(len);
    std::unique_lock<std::mutex> lk(a->mu);
    // A stop ends the wait: the read the thread is in ends the pass.
    a->give_zlen = 0;
    while (!head_ready(a) && !(a->ended && a->filled == a->taken)) {
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
        const bool last = at + want == static_cast<uint64_t>(s.n);
        if (a->pack_type != PACK_NONE && want == a->block && at % a->block == 0 && s.zlen[at / a->block] > 0) {
            const uint64_t i = at / a->block;
            // The slot goes back to the reader with this take: its records
            // stay here until the next one.
            if (last) std::swap(s.zbuf, a->spare_z);
            a->give_z = (last ? a->spare_z : s.zbuf) + i * 2 * a->block;
            a->give_zlen = s.zlen[i];
            a->give_buf = ctx->ibuf;
            a->give_len = want;
        }
        if (last) {
            lk.lock();
            ++a->taken;
            a->room.notify_all();
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

bool dd_ahead_packed(dd_ctx* ctx, const void* buf, uint64_t len, const void** z, int64_t* zlen) {
    dd_ahead* a = ctx->ahead;
    if (!a || a->give_zlen <= 0) return false;
    const bool same = buf == a->give_buf && buf == ctx->ibuf && len == a->give_len;
    if (same) {
        *z = a->give_z;
        *zlen = a->give_zlen;
    }
    a->give_zlen = 0;
    return same;
}

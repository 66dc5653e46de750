#include "libpal/memory/mem_add.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/hash/crc.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_vector.h"

namespace {

// Copies the text into out when it fits with its terminator: 0, else -1 with
// an empty out.
int put_text(const std::string& s, char* out, size_t size) {
    if (!out || size == 0) return -1;
    if (s.size() >= size) {
        out[0] = '\0';
        return -1;
    }
    memcpy(out, s.c_str(), s.size() + 1);
    return 0;
}

// One field of a sums text: 1 to 16 hexadecimal digits, blanks around them
// allowed. The low 32 bits go to *out.
bool parse_field(std::string_view f, uint32_t* out) {
    constexpr std::string_view blanks = " \t\r\n";
    size_t b = f.find_first_not_of(blanks);
    if (b == std::string_view::npos) return false;
    f = f.substr(b, f.find_last_not_of(blanks) - b + 1);
    if (f.empty() || f.size() > 16) return false;
    uint64_t v = 0;
    for (char c : f) {
        uint32_t d = hex_digit_value(c);
        if (d > 15) return false;
        v = (v << 4) | d;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

mem_add_ctx* mem_add_malloc(int32_t n, int32_t r_count, const char* saved) {
    if (!PL_CHECK_TEXT("pal", n > 0 && r_count >= 0, "n>0 && r_count>=0")) return nullptr;
    auto* ctx = static_cast<mem_add_ctx*>(pl_zalloc(sizeof(mem_add_ctx)));
    if (!ctx) return nullptr;
    ctx->n = n;
    ctx->r_count = r_count;
    ctx->sums_size = static_cast<size_t>(n) * sizeof(uint32_t);
    ctx->sums = static_cast<uint32_t*>(pl_zalloc(ctx->sums_size));
    ctx->hex_size = 2 * static_cast<size_t>(n) + 1;
    ctx->hex = static_cast<char*>(pl_zalloc(ctx->hex_size));
    if (r_count > 0) ctx->records = static_cast<uint8_t*>(pl_calloc(static_cast<size_t>(r_count), static_cast<size_t>(n)));
    ctx->lock = os_mutex_new();
    if (!ctx->sums || !ctx->hex || (r_count > 0 && !ctx->records) || !ctx->lock) {
        mem_add_free(ctx);
        return nullptr;
    }
    if (saved && *saved && mem_add_set_sum(ctx, saved) != 0) {
        LOG2(LOG2_ERR, "pal", "set_sum [%s] failed\n", saved);
        mem_add_free(ctx);
        return nullptr;
    }
    return ctx;
}

void mem_add_free(mem_add_ctx* ctx) {
    if (!ctx) return;
    os_mutex_free(ctx->lock);
    pl_free(ctx->sums);
    pl_free(ctx->records);
    pl_free(ctx->hex);
    pl_free(ctx);
}

void mem_add_buf(mem_add_ctx* ctx, const void* digest, int32_t r_idx) {
    if (!ctx) return;
    if (!PL_CHECK_TEXT("pal", digest != nullptr, "buf != NULL")) return;
    const auto* d = static_cast<const uint8_t*>(digest);
    os_mutex_guard g(ctx->lock);
    if (ctx->records) {
        if (PL_CHECK_TEXT("pal", r_idx >= 0 && r_idx < ctx->r_count, "r_idx >= 0 && r_idx < ctx->r_count"))
            memcpy(ctx->records + static_cast<size_t>(r_idx) * static_cast<size_t>(ctx->n), d, static_cast<size_t>(ctx->n));
    }
    for (int32_t i = 0; i < ctx->n; i++) ctx->sums[i] += d[i];
    ctx->now_r_count++;
    ctx->total++;
}

int mem_add_get_digest(mem_add_ctx* ctx, void* out, size_t size) {
    if (!ctx || !out || size < static_cast<size_t>(ctx->n)) return -1;
    auto* o = static_cast<uint8_t*>(out);
    os_mutex_guard g(ctx->lock);
    for (int32_t i = 0; i < ctx->n; i++) {
        uint32_t s = ctx->sums[i];
        const uint8_t le[4] = {static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s >> 16),
                               static_cast<uint8_t>(s >> 24)};
        o[i] = static_cast<uint8_t>(hash_crc8(le, sizeof le, 0));
    }
    return 0;
}

int mem_add_get_sum(mem_add_ctx* ctx, char* text, size_t size) {
    if (!ctx) return -1;
    std::string s;
    {
        os_mutex_guard g(ctx->lock);
        char field[16];
        for (int32_t i = 0; i < ctx->n; i++) {
            snprintf(field, sizeof field, "%x,", ctx->sums[i]);
            s += field;
        }
    }
    if (!s.empty()) s.pop_back();
    return put_text(s, text, size);
}

int mem_add_set_sum(mem_add_ctx* ctx, const char* text) {
    if (!ctx) return -1;
    std::vector<uint32_t> sums;
    bool ok = false;
    if (text) {
        str_vector v;
        str_vector_init(&v, 0);
        if (str_split(text, ",", &v) == 0 && v.count == static_cast<size_t>(ctx->n)) {
            sums.resize(v.count);
            ok = true;
            for (size_t i = 0; ok && i < v.count; i++) ok = v.items[i] && parse_field(v.items[i], &sums[i]);
        }
        str_vector_exit(&v);
    }
    os_mutex_guard g(ctx->lock);
    if (ok) memcpy(ctx->sums, sums.data(), ctx->sums_size);
    ctx->now_r_count = 0;
    return ok ? 0 : -1;
}

int mem_add_get_record(mem_add_ctx* ctx, char* text, size_t size) {
    if (!ctx) return -1;
    std::string s;
    {
        os_mutex_guard g(ctx->lock);
        // More additions than record slots (or additions without records)
        // leave only the slots that exist to print.
        int32_t count = 0;
        if (ctx->records) {
            count = ctx->now_r_count;
            if (!PL_CHECK_TEXT("pal", count <= ctx->r_count, "ctx->now_r_count <= ctx->r_count")) count = ctx->r_count;
        }
        for (int32_t i = 0; i < count; i++) {
            str_bin_encode_hex(ctx->records + static_cast<size_t>(i) * static_cast<size_t>(ctx->n),
                               static_cast<size_t>(ctx->n), ctx->hex, ctx->hex_size);
            s += ctx->hex;
            s += '|';
        }
    }
    if (!s.empty()) s.pop_back();
    return put_text(s, text, size);
}

void mem_add_clear_sum(mem_add_ctx* ctx) {
    if (!ctx) return;
    os_mutex_guard g(ctx->lock);
    memset(ctx->sums, 0, ctx->sums_size);
    ctx->now_r_count = 0;
}

void mem_add_clear_record(mem_add_ctx* ctx) {
    if (!ctx) return;
    os_mutex_guard g(ctx->lock);
    ctx->now_r_count = 0;
}

uint64_t mem_add_get_total(mem_add_ctx* ctx) {
    if (!ctx) return 0;
    os_mutex_guard g(ctx->lock);
    return ctx->total;
}

int mem_add_mark_take(mem_add_ctx* ctx, mem_add_mark* mark) {
    if (!mark) return -1;
    mark->n = 0;
    if (!ctx || ctx->n > MEM_ADD_MARK_MAX) return -1;
    os_mutex_guard g(ctx->lock);
    memcpy(mark->sums, ctx->sums, ctx->sums_size);
    mark->now_r_count = ctx->now_r_count;
    mark->total = ctx->total;
    mark->n = ctx->n;
    return 0;
}

int mem_add_mark_restore(mem_add_ctx* ctx, const mem_add_mark* mark) {
    if (!ctx || !mark || mark->n == 0 || mark->n != ctx->n) return -1;
    os_mutex_guard g(ctx->lock);
    memcpy(ctx->sums, mark->sums, ctx->sums_size);
    ctx->now_r_count = mark->now_r_count;
    ctx->total = mark->total;
    return 0;
}

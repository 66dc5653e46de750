#include "libbsv/bsv_value.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

namespace {

struct type_word {
    std::string_view word;
    uint32_t type;
    uint32_t width;
};

constexpr type_word k_types[] = {
    {"u8", VALUE_TYPE_U8, 1},   {"u16", VALUE_TYPE_U16, 2},       {"u32", VALUE_TYPE_U32, 4},
    {"u64", VALUE_TYPE_U64, 8}, {"str", VALUE_TYPE_STRING, 0},
};

// One pass over the format: counts the fields, and fills rows when given.
// False for a malformed group (logged).
bool parse_format(const char* format, bsv_value_row* rows, uint32_t* count, uint32_t* str_idx) {
    uint32_t n = 0, offset = 0;
    uint32_t first_str = UINT32_MAX;
    std::string_view rest(format);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view group = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (group.empty()) continue;
        size_t dash = group.find('-');
        if (dash == std::string_view::npos) {
            LOG2(LOG2_ERR, "bsv", "buf=[%.*s] info=[%s] error\n", static_cast<int>(group.size()), group.data(), format);
            return false;
        }
        std::string_view names = group.substr(0, dash), word = group.substr(dash + 1);
        const type_word* t = nullptr;
        for (const auto& row : k_types)
            if (row.word == word) t = &row;
        if (!t) {
            LOG2(LOG2_ERR, "bsv", "type=[%.*s] error\n", static_cast<int>(word.size()), word.data());
            return false;
        }
        // Integers name one field; the string group may name several.
        while (true) {
            size_t bar = t->type == VALUE_TYPE_STRING ? names.find('|') : std::string_view::npos;
            std::string_view name = names.substr(0, bar);
            if (name.empty() || name.size() >= BSV_VALUE_NAME_SIZE) {
                LOG2(LOG2_ERR, "bsv", "buf=[%.*s] info=[%s] error\n", static_cast<int>(group.size()), group.data(),
                     format);
                return false;
            }
            if (t->type == VALUE_TYPE_STRING && first_str == UINT32_MAX) first_str = n;
            if (t->type != VALUE_TYPE_STRING && first_str != UINT32_MAX) {
                // An integer after the strings would have no fixed offset.
                LOG2(LOG2_ERR, "bsv", "buf=[%.*s] info=[%s] error\n", static_cast<int>(group.size()), group.data(),
                     format);
                return false;
            }
            if (rows) {
                bsv_value_row& r = rows[n];
                memcpy(r.name, name.data(), name.size());
                r.name[name.size()] = 0;
                r.type = t->type;
                r.width = t->width;
                r.offset = offset;
            }
            offset += t->width;
            ++n;
            if (bar == std::string_view::npos) break;
            names = names.substr(bar + 1);
        }
    }
    *count = n;
    *str_idx = first_str == UINT32_MAX ? n : first_str;
    return n > 0;
}

// The offset of string field idx within this record, or -1 when the field
// does not lie (terminated) inside it.
int64_t str_offset(const bsv_value_ctx* ctx, const uint8_t* rec, uint32_t len, uint32_t idx) {
    uint64_t at = ctx->val[ctx->str_idx].offset;
    for (uint32_t i = ctx->str_idx;; ++i) {
        if (at >= len) return -1;
        const void* end = memchr(rec + at, 0, len - at);
        if (!end) return -1;
        if (i == idx) return static_cast<int64_t>(at);
        at = static_cast<uint64_t>(static_cast<const uint8_t*>(end) - rec) + 1;
    }
}

bool check_idx(const bsv_value_ctx* ctx, uint32_t idx) {
    return ctx && PL_CHECK_TEXT("bsv", idx < ctx->count_idx, "idx < ctx->count_idx");
}

uint64_t read_int(const bsv_value_ctx* ctx, const uint8_t* rec, uint32_t len, const bsv_value_row& r) {
    if (static_cast<uint64_t>(r.offset) + r.width > len) return 0;
    int swap = ctx->swap ? 1 : 0;
    switch (r.type) {
    case VALUE_TYPE_U8: return rec[r.offset];
    case VALUE_TYPE_U16: return mem_get_u16(swap, rec, r.offset);
    case VALUE_TYPE_U32: return mem_get_u32(swap, rec, r.offset);
    default: return mem_get_u64(swap, rec, r.offset);
    }
}

const char* read_str(bsv_value_ctx* ctx, const uint8_t* rec, uint32_t len, uint32_t idx) {
    int64_t at = str_offset(ctx, rec, len, idx);
    if (at < 0) return "";
    ctx->val[idx].offset = static_cast<uint32_t>(at);
    return reinterpret_cast<const char*>(rec + at);
}

}  // namespace

bsv_value_ctx* bsv_value_init(const char* format, uint32_t swap) {
    if (!PL_CHECK("bsv", format)) return nullptr;
    uint32_t count = 0, str_idx = 0;
    if (!parse_format(format, nullptr, &count, &str_idx)) {
        LOG2(LOG2_DBG, "bsv", "value_get_info failed\n");
        return nullptr;
    }
    auto* ctx = static_cast<bsv_value_ctx*>(pl_zalloc(sizeof(bsv_value_ctx)));
    if (!ctx) return nullptr;
    ctx->val = static_cast<bsv_value_row*>(pl_zalloc(sizeof(bsv_value_row) * count));
    ctx->format = pl_strdup(format);
    if (!ctx->val || !ctx->format || str_map_init(&ctx->names, STR_MAP_COPY_KEY | STR_MAP_COPY_VAL) != 0) {
        bsv_value_exit(ctx);
        return nullptr;
    }
    parse_format(format, ctx->val, &ctx->count_idx, &ctx->str_idx);
    ctx->swap = swap;
    for (uint32_t i = 0; i < ctx->count_idx; ++i) {
        char idx_text[16];
        snprintf(idx_text, sizeof idx_text, "%u", i + 1);
        // A repeated name keeps its first field.
        (void)str_map_add(&ctx->names, ctx->val[i].name, idx_text);
    }
    str_map_sort(&ctx->names);
    return ctx;
}

void bsv_value_exit(bsv_value_ctx* ctx) {
    if (!ctx) return;
    str_map_exit(&ctx->names);
    pl_free(ctx->val);
    pl_free(ctx->format);
    pl_free(ctx);
}

uint32_t bsv_value_get_count(const bsv_value_ctx* ctx) { return ctx ? ctx->count_idx : 0; }

const bsv_value_row* bsv_value_get_name(const bsv_value_ctx* ctx, uint32_t idx) {
    if (!ctx || idx >= ctx->count_idx) return nullptr;
    return &ctx->val[idx];
}

uint64_t bsv_value_get(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx) {
    if (!ctx || !PL_CHECK_TEXT("bsv", idx < ctx->count_idx, "idx<ctx->count_idx")) return 0;
    auto* rec = static_cast<const uint8_t*>(record);
    if (!rec) len = 0;
    ctx->record = rec;
    ctx->record_len = len;
    const bsv_value_row& r = ctx->val[idx];
    if (r.type == VALUE_TYPE_STRING) return reinterpret_cast<uintptr_t>(read_str(ctx, rec, len, idx));
    return read_int(ctx, rec, len, r);
}

namespace {

template <class T>
T get_int(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx) {
    if (!check_idx(ctx, idx)) return 0;
    if (!PL_CHECK_TEXT("bsv", ctx->val[idx].type != VALUE_TYPE_STRING, "ctx->val[idx].type!=VALUE_TYPE_STRING"))
        return 0;
    return static_cast<T>(bsv_value_get(ctx, record, len, idx));
}

}  // namespace

uint8_t bsv_value_get_u8(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx) {
    return get_int<uint8_t>(ctx, record, len, idx);
}
uint16_t bsv_value_get_u16(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx) {
    return get_int<uint16_t>(ctx, record, len, idx);
}
uint32_t bsv_value_get_u32(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx) {
    return get_int<uint32_t>(ctx, record, len, idx);
}
uint64_t bsv_value_get_u64(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx) {
    return get_int<uint64_t>(ctx, record, len, idx);
}

const char* bsv_value_get_str(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx) {
    if (!check_idx(ctx, idx)) return nullptr;
    if (!PL_CHECK_TEXT("bsv", ctx->val[idx].type == VALUE_TYPE_STRING, "ctx->val[idx].type==VALUE_TYPE_STRING"))
        return nullptr;
    return reinterpret_cast<const char*>(static_cast<uintptr_t>(bsv_value_get(ctx, record, len, idx)));
}

int bsv_value_index(const bsv_value_ctx* ctx, const char* name) {
    if (!ctx || !name) return -1;
    const char* v = str_map_find(&ctx->names, name);
    if (!v) return -1;
    return static_cast<int>(strtoul(v, nullptr, 10)) - 1;
}

int bsv_value_find(bsv_value_ctx* ctx, const void* record, uint32_t len, const char* name, uint64_t* value) {
    int idx = bsv_value_index(ctx, name);
    if (idx < 0) return -1;
    uint64_t v = bsv_value_get(ctx, record, len, static_cast<uint32_t>(idx));
    if (value) *value = v;
    return static_cast<int>(ctx->val[idx].type);
}

#include "libpal/basic/pl_cmp.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "liblog/log2.h"

namespace {

template <class T>
int order(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// A value carried in a pointer argument.
template <class T>
T direct(const void* p) {
    return static_cast<T>(reinterpret_cast<uintptr_t>(p));
}

// A value behind a pointer (memcpy: elements need not be aligned).
template <class T>
T deref(const void* p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

const char* text_at(const void* p) { return deref<const char*>(p); }

int text_order(const char* a, const char* b) { return pl_sign(strcmp(a, b)); }

}  // namespace

int pl_sign(int64_t value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

int cmp_uint64(const void* a, const void* b) { return order(direct<uint64_t>(a), direct<uint64_t>(b)); }
int cmp_puint64(const void* a, const void* b) { return order(deref<uint64_t>(a), deref<uint64_t>(b)); }
int cmp_int8(const void* a, const void* b) { return order(direct<int8_t>(a), direct<int8_t>(b)); }
int cmp_pint8(const void* a, const void* b) { return order(deref<int8_t>(a), deref<int8_t>(b)); }
int cmp_int32(const void* a, const void* b) { return order(direct<int32_t>(a), direct<int32_t>(b)); }
int cmp_pint32(const void* a, const void* b) { return order(deref<int32_t>(a), deref<int32_t>(b)); }
int cmp_int64(const void* a, const void* b) { return order(direct<int64_t>(a), direct<int64_t>(b)); }
int cmp_pint64(const void* a, const void* b) { return order(deref<int64_t>(a), deref<int64_t>(b)); }
int cmp_uptr(const void* a, const void* b) { return order(direct<uintptr_t>(a), direct<uintptr_t>(b)); }
int cmp_puptr(const void* a, const void* b) { return order(deref<uintptr_t>(a), deref<uintptr_t>(b)); }
int cmp_pdouble(const void* a, const void* b) { return order(deref<double>(a), deref<double>(b)); }
int cmp_str(const void* a, const void* b) {
    return text_order(static_cast<const char*>(a), static_cast<const char*>(b));
}
int cmp_pstr(const void* a, const void* b) { return text_order(text_at(a), text_at(b)); }
int cmp_precstr(const void* a, const void* b) {
    return text_order(text_at(deref<const void*>(a)), text_at(deref<const void*>(b)));
}

int cmp_uint64_desc(const void* a, const void* b) { return cmp_uint64(b, a); }
int cmp_puint64_desc(const void* a, const void* b) { return cmp_puint64(b, a); }
int cmp_int8_desc(const void* a, const void* b) { return cmp_int8(b, a); }
int cmp_pint8_desc(const void* a, const void* b) { return cmp_pint8(b, a); }
int cmp_int32_desc(const void* a, const void* b) { return cmp_int32(b, a); }
int cmp_pint32_desc(const void* a, const void* b) { return cmp_pint32(b, a); }
int cmp_int64_desc(const void* a, const void* b) { return cmp_int64(b, a); }
int cmp_pint64_desc(const void* a, const void* b) { return cmp_pint64(b, a); }
int cmp_uptr_desc(const void* a, const void* b) { return cmp_uptr(b, a); }
int cmp_puptr_desc(const void* a, const void* b) { return cmp_puptr(b, a); }
int cmp_pdouble_desc(const void* a, const void* b) { return cmp_pdouble(b, a); }
int cmp_str_desc(const void* a, const void* b) { return cmp_str(b, a); }
int cmp_pstr_desc(const void* a, const void* b) { return cmp_pstr(b, a); }
int cmp_precstr_desc(const void* a, const void* b) { return cmp_precstr(b, a); }

// The key-against-element forms. The unsigned 64-bit one is used in halving
// searches and must stay quiet: a log line per comparison would flood the log.
int cmp2_pint8(const void* key, const void* elem) { return cmp_pint8(key, elem); }
int cmp2_pint32(const void* key, const void* elem) { return cmp_pint32(key, elem); }
int cmp2_puint64(const void* key, const void* elem) { return cmp_puint64(key, elem); }
int cmp2_puptr(const void* key, const void* elem) { return cmp_puptr(key, elem); }
int cmp2_pstr(const void* key, const void* elem) { return text_order(static_cast<const char*>(key), text_at(elem)); }

const cmp_val_row cmp_val_proc_tab[] = {
    {PL_VAL_U64, cmp_uint64}, {PL_VAL_PU64, cmp_puint64}, {PL_VAL_I8, cmp_int8},   {PL_VAL_PI8, cmp_pint8},
    {PL_VAL_I32, cmp_int32},  {PL_VAL_PI32, cmp_pint32},  {PL_VAL_UPTR, cmp_uptr}, {PL_VAL_PUPTR, cmp_puptr},
    {PL_VAL_STR, cmp_str},    {PL_VAL_PSTR, cmp_pstr},    {-1, nullptr},
};

const cmp_val_row cmp_val_proc_tab_desc[] = {
    {PL_VAL_U64, cmp_uint64_desc}, {PL_VAL_PU64, cmp_puint64_desc}, {PL_VAL_I8, cmp_int8_desc},
    {PL_VAL_PI8, cmp_pint8_desc},  {PL_VAL_I32, cmp_int32_desc},    {PL_VAL_PI32, cmp_pint32_desc},
    {PL_VAL_UPTR, cmp_uptr_desc},  {PL_VAL_PUPTR, cmp_puptr_desc},  {PL_VAL_STR, cmp_str_desc},
    {PL_VAL_PSTR, cmp_pstr_desc},  {-1, nullptr},
};

namespace {

pl_cmp_fn unsupported_code(int32_t code) {
    LOG2(LOG2_ERR, "pal", "val_type=%d not support\n", code);
    pl_assert_hook();
    return nullptr;
}

}  // namespace

pl_cmp_fn cmp_val_get_proc(int32_t code, int descending) {
    for (const cmp_val_row* row = descending ? cmp_val_proc_tab_desc : cmp_val_proc_tab; row->proc; row++)
        if (row->code == code) return row->proc;
    return unsupported_code(code);
}

pl_cmp_fn cmp2_val_get_find_proc(int32_t code) {
    switch (code) {
        case PL_VAL_PSTR: return cmp2_pstr;
        case PL_VAL_PI8: return cmp2_pint8;
        case PL_VAL_PI32: return cmp2_pint32;
        case PL_VAL_PU64: return cmp2_puint64;
        case PL_VAL_PUPTR: return cmp2_puptr;
        default: return unsupported_code(code);
    }
}

pl_cmp_fn cmp_array_get_proc(uint32_t mode, pl_cmp_fn proc, int descending) {
    if (proc) return proc;
    if (mode & (CMP_ARRAY_STR | CMP_ARRAY_STR2)) return descending ? cmp_pstr_desc : cmp_pstr;
    if (mode & CMP_ARRAY_U64) return descending ? cmp_puint64_desc : cmp_puint64;
    if (mode & CMP_ARRAY_RECSTR) return descending ? cmp_precstr_desc : cmp_precstr;
    LOG2(LOG2_ERR, "pal", "mode=0x%x not support\n", mode);
    return nullptr;
}

#include "libpal/string/str_size.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/verr.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr double k_two_pow_64 = 18446744073709551616.0;
// Longest number text str_parse_all_number reads.
constexpr size_t k_number_max = 1023;
// Longest size text and longest number part of a size text.
constexpr size_t k_size_text_max = 256;
constexpr size_t k_size_number_max = 255;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char to_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Value of a digit of any base up to 16; -1 for anything else.
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_base_digit(char c, int base) {
    int v = digit_value(c);
    return v >= 0 && v < base;
}

// A double to a whole count, fraction dropped. NaN, negative values and
// values of 2^64 or more have no such count.
bool double_to_u64(double d, uint64_t* out) {
    if (!(d >= 0.0) || !(d < k_two_pow_64)) return false;
    *out = static_cast<uint64_t>(d);
    return true;
}

// Decimal digits to a 64-bit value; false when it does not fit.
bool digits_to_u64(std::string_view digits, uint64_t* out) {
    uint64_t v = 0;
    for (char c : digits) {
        if (__builtin_mul_overflow(v, 10U, &v) || __builtin_add_overflow(v, static_cast<unsigned>(c - '0'), &v))
            return false;
    }
    *out = v;
    return true;
}

// Tells an overflow from an underflow of a decimal text that the double
// conversion refused: true when the leading digit's decimal exponent is
// positive. num is digits[.digits][(e|E)[+|-]digits].
bool decimal_is_huge(std::string_view num) {
    size_t k = 0;
    long long mag = 0;
    bool found = false;
    for (; k < num.size() && is_digit(num[k]); k++) {
        if (found)
            mag++;
        else if (num[k] != '0')
            found = true;
    }
    if (k < num.size() && num[k] == '.') {
        long long zeros = 0;
        for (k++; k < num.size() && is_digit(num[k]); k++) {
            if (found) continue;
            zeros++;
            if (num[k] != '0') {
                found = true;
                mag = -zeros;
            }
        }
    }
    if (!found) return false;
    long long exp = 0;
    bool neg = false;
    if (k < num.size() && (num[k] == 'e' || num[k] == 'E')) {
        k++;
        if (k < num.size() && (num[k] == '+' || num[k] == '-')) neg = num[k++] == '-';
        for (; k < num.size() && is_digit(num[k]); k++) exp = std::min(exp * 10 + (num[k] - '0'), 1000000000LL);
    }
    return mag + (neg ? -exp : exp) > 0;
}

// A complete decimal floating-point text to a double, independent of the
// locale. A value too small for a double is 0; false for a value too large.
bool decimal_to_double(std::string_view num, double* out) {
    double d = 0.0;
    const char* end = num.data() + num.size();
    auto res = std::from_chars(num.data(), end, d, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        if (decimal_is_huge(num)) return false;
        d = 0.0;
    } else if (res.ec != std::errc() || res.ptr != end) {
        return false;
    }
    if (!std::isfinite(d)) return false;
    *out = d;
    return true;
}

// Extent of the decimal number at the start of a size's number part:
// digits, an optional fraction, an optional exponent.
struct decimal_extent {
    size_t len;   // 0 when the text starts with no number
    bool whole;   // digits only: read exactly as an integer
};

decimal_extent scan_decimal(std::string_view s) {
    size_t i = 0;
    size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) i++;
    digits = i;
    bool whole = true;
    if (i < s.size() && s[i] == '.') {
        size_t j = i + 1;
        while (j < s.size() && is_digit(s[j])) j++;
        digits += j - i - 1;
        if (digits > 0) {
            i = j;
            whole = false;
        }
    }
    if (digits == 0) return {0, true};
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) j++;
        size_t exp_start = j;
        while (j < s.size() && is_digit(s[j])) j++;
        if (j > exp_start) {
            i = j;
            whole = false;
        }
    }
    return {i, whole};
}

// The first row of table whose whole name starts letters, without regard to case.
const size_suffix* find_suffix(const size_suffix* table, std::string_view letters) {
    for (const size_suffix* row = table; row->name; row++) {
        size_t n = strlen(row->name);
        if (n == 0 || n > letters.size()) continue;
        bool same = true;
        for (size_t k = 0; k < n && same; k++) same = to_lower(row->name[k]) == to_lower(letters[k]);
        if (same) return row;
    }
    return nullptr;
}

// The size reader behind str_to_size and str_to_size_checked. Lenient mode
// reads the number at the start of the number part and ignores the rest;
// strict mode wants the whole number part to be one number.
bool parse_size(const char* text, const size_suffix* table, bool strict, uint64_t* out) {
    if (!text || !table) return false;
    switch (text[0]) {
        case ' ':
        case '+':
        case '-':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
            return false;
        default:
            break;
    }
    size_t n = strnlen(text, k_size_text_max + 1);
    if (n == 0 || n > k_size_text_max) return false;

    size_t letters = 0;
    if (is_letter(text[n - 1])) {
        letters = 1;
        if (n >= 2 && is_letter(text[n - 2])) {
            letters = 2;
            if (n >= 3 && is_letter(text[n - 3])) return false;
        }
    }
    if (letters == n) return false;
    std::string_view num(text, n - letters);
    if (num.size() > k_size_number_max) return false;

    uint64_t mults[2];
    size_t mult_count = 0;
    for (std::string_view rest(text + num.size(), letters); !rest.empty();) {
        const size_suffix* row = find_suffix(table, rest);
        if (!row) return false;
        mults[mult_count++] = row->mult;
        rest.remove_prefix(strlen(row->name));
    }

    decimal_extent ext = scan_decimal(num);
    if (strict && (ext.len == 0 || ext.len != num.size())) return false;
    if (ext.len == 0) {
        *out = 0;
        return true;
    }
    std::string_view number = num.substr(0, ext.len);
    if (ext.whole) {
        uint64_t v = 0;
        if (!digits_to_u64(number, &v)) return false;
        for (size_t k = 0; k < mult_count; k++)
            if (__builtin_mul_overflow(v, mults[k], &v)) return false;
        *out = v;
        return true;
    }
    double d = 0.0;
    if (!decimal_to_double(number, &d)) return false;
    for (size_t k = 0; k < mult_count; k++) d *= static_cast<double>(mults[k]);
    return double_to_u64(d, out);
}

void set_int(num_parse_result* res, uint64_t v) {
    res->kind = NUM_KIND_INT;
    res->value.u = v;
}

void set_float(num_parse_result* res, double d) {
    res->kind = NUM_KIND_FLOAT;
    res->value.d = d;
}

// Decimal floating point from s[start]: digits, then the fraction and/or
// exponent that begin at s[at].
void parse_decimal_float(std::string_view s, size_t start, size_t at, num_parse_result* res) {
    size_t k = at;
    if (s[k] == '.') {
        for (k++; k < s.size() && is_digit(s[k]);) k++;
    }
    if (k < s.size() && (s[k] == 'e' || s[k] == 'E')) {
        k++;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) k++;
        size_t exp_start = k;
        while (k < s.size() && is_digit(s[k])) k++;
        if (k == exp_start) return;
    }
    if (k - start > k_number_max) {
        LOG2(LOG2_DBG, "pal", "number too long\n");
        return;
    }
    double d = 0.0;
    if (decimal_to_double(s.substr(start, k - start), &d)) set_float(res, d);
}

// Hexadecimal or binary floating point ("1.8p1"): the digits from s[start]
// to s[at] are the integer part, s[at] is "." or "p".
void parse_binary_float(std::string_view s, int base, size_t start, size_t at, num_parse_result* res) {
    const int bits = base == 16 ? 4 : 1;
    uint64_t mant = 0;
    int64_t exp_adj = 0;
    // Digits that no longer fit below 64 bits only lose precision a double
    // would drop anyway; integer digits still scale the value.
    auto push = [&](int dv, bool fraction) {
        if ((mant >> (64 - bits)) == 0) {
            mant = (mant << bits) | static_cast<uint64_t>(dv);
            if (fraction) exp_adj -= bits;
        } else if (!fraction) {
            exp_adj += bits;
        }
    };
    for (size_t k = start; k < at; k++) push(digit_value(s[k]), false);
    size_t k = at;
    if (s[k] == '.') {
        for (k++; k < s.size() && s[k] != 'p' && s[k] != 'P'; k++) {
            if (!is_base_digit(s[k], base)) {
                LOG2(LOG2_DBG, "pal", "invalid digit\n");
                return;
            }
            push(digit_value(s[k]), true);
        }
    }
    if (k >= s.size() || (s[k] != 'p' && s[k] != 'P')) {
        LOG2(LOG2_DBG, "pal", "exponent\n");
        return;
    }
    k++;
    bool neg = false;
    if (k < s.size() && (s[k] == '+' || s[k] == '-')) neg = s[k++] == '-';
    size_t exp_start = k;
    int64_t exp = 0;
    for (; k < s.size() && is_digit(s[k]); k++) exp = std::min<int64_t>(exp * 10 + (s[k] - '0'), 1000000);
    if (k == exp_start) return;
    if (k - start > k_number_max) {
        LOG2(LOG2_DBG, "pal", "number too long\n");
        return;
    }
    int64_t scale = (neg ? -exp : exp) + exp_adj;
    if (mant == 0) {
        set_float(res, 0.0);
        return;
    }
    int64_t top = 63 - __builtin_clzll(mant);
    if (top + scale > 1023) return;  // beyond the largest double
    if (top + scale < -1100) {
        set_float(res, 0.0);
        return;
    }
    int saved = errno;  // ldexp reports subnormal results through errno
    double d = std::ldexp(static_cast<double>(mant), static_cast<int>(scale));
    errno = saved;
    set_float(res, d);
}

void parse_number(std::string_view s, int base, num_parse_result* res) {
    set_int(res, 0);
    if (s.empty()) return;
    if (base != 16) base = 10;
    size_t i = 0;
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'b' || s[1] == 'B')) {
        base = 2;
        i = 2;
    }
    const size_t start = i;
    if (i >= s.size() || !(is_base_digit(s[i], base) || s[i] == '.')) return;
    while (i < s.size() && is_base_digit(s[i], base)) i++;
    const size_t int_end = i;

    if (i < s.size()) {
        char c = s[i];
        if (base == 10 && (c == '.' || c == 'e' || c == 'E')) {
            parse_decimal_float(s, start, i, res);
            return;
        }
        if (base != 10 && (c == '.' || c == 'p' || c == 'P')) {
            parse_binary_float(s, base, start, i, res);
            return;
        }
    }
    if (int_end == start) return;  // a lone "." with nothing that makes a number
    if (int_end - start > k_number_max) {
        LOG2(LOG2_DBG, "pal", "number too long\n");
        return;
    }
    const unsigned radix = (base == 10 && s[start] == '0') ? 8U : static_cast<unsigned>(base);
    uint64_t v = 0;
    for (size_t k = start; k < int_end; k++) {
        unsigned dv = static_cast<unsigned>(digit_value(s[k]));
        if (dv >= radix) return;
        if (__builtin_mul_overflow(v, radix, &v) || __builtin_add_overflow(v, dv, &v)) return;
    }
    int u_count = 0;
    int l_count = 0;
    for (size_t k = int_end; k < s.size(); k++) {
        char c = to_lower(s[k]);
        if (c == 'u') {
            if (++u_count > 1) return;
        } else if (c == 'l') {
            if (++l_count > 2) return;
        } else {
            break;
        }
    }
    set_int(res, v);
}

uint64_t result_to_u64(const num_parse_result& res) {
    if (res.kind != NUM_KIND_FLOAT) return res.value.u;
    uint64_t v = 0;
    return double_to_u64(res.value.d, &v) ? v : 0;
}

uint64_t parse_u64(std::string_view s, int base) {
    num_parse_result res;
    parse_number(s, base, &res);
    return result_to_u64(res);
}

std::string_view view_of(const char* text) {
    return text ? std::string_view(text) : std::string_view();
}

// Durations far beyond any real one are capped, so that NaN, infinite or
// huge estimates print as text instead of overflowing the integer fields.
constexpr double k_max_seconds = 1e15;

int64_t whole_seconds(double seconds) {
    if (!(seconds > 0.0)) return 0;
    if (seconds > k_max_seconds) return static_cast<int64_t>(k_max_seconds);
    return static_cast<int64_t>(seconds);
}

const char* plural(uint64_t count) {
    return count >= 2 ? "s" : "";
}

void set_errno_invalid() {
    errno = verr_2_posix(VERR_INVALID_PARAMETER);
}

}  // namespace

uint64_t str_to_size_imp(const char* text, const size_suffix* table) {
    uint64_t v = 0;
    return parse_size(text, table, false, &v) ? v : 0;
}

uint64_t str_to_size(const char* text) {
    return str_to_size_imp(text, str_size_suffixes);
}

int str_to_size_checked(const char* text, uint64_t* out) {
    uint64_t v = 0;
    if (!out || !parse_size(text, str_size_suffixes, true, &v)) return -1;
    *out = v;
    return 0;
}

const char* size_to_text_buf(uint64_t value, uint32_t divisor, char* buf, size_t size) {
    if (value == 0) return "0";
    if (!PL_CHECK("pal", buf && size > 0)) return "";
    if (divisor) {
        uint64_t rounded = value / divisor + (value % divisor + divisor / 2) / divisor;
        str_sprintf_s(buf, size, "%" PRIu64, rounded);
        return buf;
    }
    unsigned digit = 0;
    int steps = 0;
    while (value >= 1024 && steps < 8) {
        digit = static_cast<unsigned>(((value % 1024) * 10 + 512) / 1024);
        value /= 1024;
        steps++;
    }
    if (digit == 10) {
        value++;
        digit = 0;
    }
    if (steps)
        str_sprintf_s(buf, size, "%" PRIu64 ".%u%c", value, digit, "KMGTPEZY"[steps - 1]);
    else
        str_sprintf_s(buf, size, "%" PRIu64, value);
    return buf;
}

const char* size_to_text(uint64_t value, uint32_t divisor) {
    thread_local char text[21];
    return size_to_text_buf(value, divisor, text, sizeof text);
}

char* speed_to_text(char* buf, size_t size, double bytes_per_sec) {
    if (!buf || size == 0) return buf;
    if (bytes_per_sec > 1073741824.0)
        str_sprintf_s(buf, size, "%0.3fGB/S", bytes_per_sec / 1073741824.0);
    else if (bytes_per_sec > 1048576.0)
        str_sprintf_s(buf, size, "%0.2fMB/S", bytes_per_sec / 1048576.0);
    else if (bytes_per_sec > 1024.0)
        str_sprintf_s(buf, size, "%0.1fKB/S", bytes_per_sec / 1024.0);
    else
        str_sprintf_s(buf, size, "%0.0fB/S", bytes_per_sec);
    return buf;
}

char* count_to_text(uint64_t count, char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    const double c = static_cast<double>(count);
    if (count <= 1000)
        str_sprintf_s(buf, size, "%d B", static_cast<int>(count));
    else if (count <= 10000)
        str_sprintf_s(buf, size, "%0.2f Q", c / 1000.0);
    else if (count <= 100000000)
        str_sprintf_s(buf, size, "%0.2f W", c / 10000.0);
    else
        str_sprintf_s(buf, size, "%0.2f Y", c / 100000000.0);
    return buf;
}

char* str_seconds_text(char* buf, size_t size, double seconds) {
    if (!buf || size == 0) return buf;
    buf[0] = '\0';
    int64_t s = whole_seconds(seconds);
    double fraction = (seconds > 0.0 && seconds <= k_max_seconds) ? seconds - static_cast<double>(s) : 0.0;
    if (s >= 86400) {
        long long days = s / 86400;
        strcat_printf(buf, size, "%lld day%s ", days, plural(days));
        s %= 86400;
    }
    if (s >= 3600) {
        long long hours = s / 3600;
        strcat_printf(buf, size, "%lld hour%s ", hours, plural(hours));
        s %= 3600;
    }
    if (s >= 60) {
        long long minutes = s / 60;
        strcat_printf(buf, size, "%lld minute%s", minutes, plural(minutes));
        return buf;
    }
    double rest = static_cast<double>(s) + fraction;
    strcat_printf(buf, size, "%0.3f second%s", rest, rest > 1.0 ? "s" : "");
    return buf;
}

char* str_seconds_clock(char* buf, size_t size, double seconds) {
    if (!buf || size == 0) return buf;
    long long s = whole_seconds(seconds);
    long long days = s / 86400;
    long long hours = s % 86400 / 3600;
    long long minutes = s % 3600 / 60;
    long long secs = s % 60;
    if (s < 3600)
        str_sprintf_s(buf, size, "%02lld:%02lld", minutes, secs);
    else if (s < 86400)
        str_sprintf_s(buf, size, "%02lld:%02lld:%02lld", hours, minutes, secs);
    else
        str_sprintf_s(buf, size, "%lld_%02lld:%02lld:%02lld", days, hours, minutes, secs);
    return buf;
}

char* str_hours_text(uint64_t hours, char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    buf[0] = '\0';
    struct unit {
        const char* name;
        uint64_t hours;
    };
    static constexpr unit units[] = {{"year", 8760}, {"month", 720}, {"day", 24}};
    for (const unit& u : units) {
        uint64_t n = hours / u.hours;
        hours %= u.hours;
        if (n) strcat_printf(buf, size, "%" PRIu64 " %s%s ", n, u.name, plural(n));
    }
    strcat_printf(buf, size, "%" PRIu64 " hour%s ", hours, plural(hours));
    return buf;
}

num_parse_result* str_parse_all_number(num_parse_result* res, const char* text, int base) {
    if (!res) return res;
    parse_number(view_of(text), base, res);
    return res;
}

uint64_t str_to_u64(const char* text) {
    return parse_u64(view_of(text), 10);
}

uint64_t str_hex_to_u64(const char* text) {
    return parse_u64(view_of(text), 16);
}

int32_t str_hex_to_int(const char* text) {
    return static_cast<int32_t>(static_cast<uint32_t>(str_hex_to_u64(text)));
}

double str_to_double(const char* text) {
    num_parse_result res;
    parse_number(view_of(text), 10, &res);
    return res.kind == NUM_KIND_FLOAT ? res.value.d : static_cast<double>(res.value.u);
}

int64_t str_to_ll(const char* text) {
    return text ? strtoll(text, nullptr, 0) : 0;
}

int u64_to_text_sep(uint64_t value, char* buf, size_t size, int sep) {
    if (!buf || size < 2) return 0;
    char rev[32];  // 20 digits and 6 separators at most
    size_t n = 0;
    int group = 0;
    do {
        if (sep && group == 3) {
            rev[n++] = ',';
            group = 0;
        }
        rev[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
        group++;
    } while (value);
    size_t keep = std::min(n, size - 1);
    // The last keep characters of the text are the first keep of rev.
    for (size_t k = 0; k < keep; k++) buf[k] = rev[keep - 1 - k];
    buf[keep] = '\0';
    return static_cast<int>(keep);
}

const char* int_to_text(int value) {
    thread_local char text[128];
    str_sprintf_s(text, sizeof text, "%d", value);
    return text;
}

char* i64_to_text_commas(int64_t value, char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char digits[32];
    u64_to_text_sep(magnitude, digits, sizeof digits, 1);
    str_sprintf_s(buf, size, "%s%s", value < 0 ? "-" : "", digits);
    return buf;
}

const char* i64_to_text_commas(int64_t value) {
    thread_local char text[128];
    return i64_to_text_commas(value, text, sizeof text);
}

int str_scan_sep_number(const char* text, const char* seps, int with_len, const char* types, ...) {
    if (!text || !seps || !types) {
        set_errno_invalid();
        return -1;
    }
    std::string_view txt(text), sep_set(seps), type_list(types);
    int fields = txt.empty() ? 0 : 1 + static_cast<int>(std::count_if(txt.begin(), txt.end(), [&](char c) {
                                           return sep_set.find(c) != std::string_view::npos;
                                       }));
    int type_count = type_list.empty() ? 0 : 1 + static_cast<int>(std::count(type_list.begin(), type_list.end(), '|'));
    if (fields < type_count) {
        LOG2(LOG2_ERR, "pal", "error: %d < %d\n", fields, type_count);
        set_errno_invalid();
        return -1;
    }

    va_list ap;
    va_start(ap, types);
    int rc = 0;
    size_t field_pos = 0;
    size_t type_pos = 0;
    for (int k = 0; k < type_count; k++) {
        size_t bar = type_list.find('|', type_pos);
        std::string_view type = type_list.substr(type_pos, bar == std::string_view::npos ? bar : bar - type_pos);
        type_pos = bar == std::string_view::npos ? type_list.size() : bar + 1;
        size_t end = txt.find_first_of(sep_set, field_pos);
        std::string_view field = txt.substr(field_pos, end == std::string_view::npos ? end : end - field_pos);
        field_pos = end == std::string_view::npos ? txt.size() : end + 1;

        void* dest = va_arg(ap, void*);
        size_t vlen = with_len ? va_arg(ap, size_t) : 0;
        if (!dest) {
            set_errno_invalid();
            rc = -1;
            break;
        }
        if (type == "u64" || type == "size" || type == "x64") {
            if (with_len && !PL_CHECK_TEXT("pal", vlen == sizeof(uint64_t),
                                           type == "size" ? "vlen==sizeof(size_t)" : "vlen==sizeof(uint64_t)")) {
                rc = -1;
                break;
            }
            uint64_t v = parse_u64(field, type == "x64" ? 16 : 10);
            memcpy(dest, &v, sizeof v);
        } else if (type == "int" || type == "u32") {
            if (with_len && !PL_CHECK_TEXT("pal", vlen == sizeof(uint32_t),
                                           type == "int" ? "vlen==sizeof(int)" : "vlen==sizeof(uint32_t)")) {
                rc = -1;
                break;
            }
            uint32_t v = static_cast<uint32_t>(parse_u64(field, 10));
            memcpy(dest, &v, sizeof v);
        } else {
            set_errno_invalid();
            rc = -1;
            break;
        }
    }
    va_end(ap);
    return rc;
}

uint64_t version_to_u64(const char* text) {
    if (!text) return 0;
    uint64_t parts[4] = {};
    int count = 0;
    const char* p = text;
    for (;;) {
        if (count == 4) return 0;  // a fifth part
        uint64_t v = 0;
        bool saturated = false;
        for (; is_digit(*p); p++) {
            if (saturated) continue;
            uint64_t next = 0;
            if (__builtin_mul_overflow(v, 10U, &next) || __builtin_add_overflow(next, static_cast<unsigned>(*p - '0'), &next)) {
                v = UINT64_MAX;
                saturated = true;
            } else {
                v = next;
            }
        }
        parts[count++] = v;
        while (*p && *p != '.') p++;
        if (!*p) break;
        p++;
    }
    if (parts[0] == 0) return 0;
    return parts[0] << 48 | parts[1] << 32 | parts[2] << 16 | parts[3];
}

int version_compare(const char* a, const char* b) {
    uint64_t va = version_to_u64(a);
    uint64_t vb = version_to_u64(b);
    return va > vb ? 1 : va < vb ? -1 : 0;
}

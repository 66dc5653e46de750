// The command-20 control codes that carry a formatted text: one wrapper per
// form, each refusing the codes of other forms.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_file.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"

namespace {

constexpr char kTextNum[] = "%s\t%u";
constexpr char kText2Num[] = "%s\t%s\t%u";
constexpr char kTextNumU64[] = "%s\t%u\t%llu";
constexpr char kText2[] = "%s\t%s";
constexpr char kTextNum2[] = "%s\t%u\t%u";
constexpr char kTextTimes[] = "%s\t%llu\t%llu\t%llu\t%u\t%u\t%u";
constexpr char kTextI64[] = "%s\t%lli";
constexpr char kNum[] = "%u";
constexpr char kNum2[] = "%u\t%u";

struct code_form {
    int32_t code;
    const char* form;
};

constexpr code_form kForms[] = {
    {10016, kText2Num}, {10018, kTextNum},  {10019, kTextNum},  {10020, kTextNum},    {10021, kTextNumU64},
    {10022, kTextNum},  {10023, kText2},    {10024, kText2},    {10025, kTextNum},    {10026, kTextNum},
    {10027, kTextNum2}, {10028, kTextNum2}, {10029, kTextTimes}, {10030, kTextTimes}, {10035, kTextI64},
    {10101, kTextNum},  {10102, kNum},      {10103, kNum2},     {10104, kNum},
};


// A text that stays one field of the form.
bool one_field(const char* t) { return t && std::string_view(t).find_first_of("\t\r\n") == std::string_view::npos; }

// Sends code with the text printed from form, when form is the code's and
// the texts (ntexts of them, the first arguments) stay one field each.
int send_form(void* handle, int32_t code, const char* form, int ntexts, ...) {
    if (!cli_get_ctx(handle)) return -1;
    if (kxsd_cli_ioctl_form(code) != form) return cli_refuse(handle);
    va_list ap;
    va_start(ap, ntexts);
    va_list check;
    va_copy(check, ap);
    bool fields_ok = true;
    for (int i = 0; i < ntexts; i++) fields_ok = one_field(va_arg(check, const char*)) && fields_ok;
    va_end(check);
    int n = -1;
    if (fields_ok) {
        va_list measure;
        va_copy(measure, ap);
        n = std::vsnprintf(nullptr, 0, form, measure);
        va_end(measure);
    }
    std::unique_ptr<char, pl_mem_deleter> text(n >= 0 ? static_cast<char*>(pl_malloc(static_cast<size_t>(n) + 1))
                                                      : nullptr);
    if (text) std::vsnprintf(text.get(), static_cast<size_t>(n) + 1, form, ap);
    va_end(ap);
    if (!text) return cli_refuse(handle);
    return kxsd_cli_ioctl(handle, code, text.get(), KXSD_DATA_TEXT);
}

}  // namespace

const char* kxsd_cli_ioctl_form(int32_t code) {
    for (const code_form& f : kForms) {
        if (f.code == code) return f.form;
    }
    return nullptr;
}

int kxsd_cli_ioctl_text2_num(void* handle, int32_t code, const char* text, const char* text2, uint32_t num) {
    return send_form(handle, code, kText2Num, 2, text, text2, num);
}

int kxsd_cli_ioctl_text_num(void* handle, int32_t code, const char* text, uint32_t num) {
    return send_form(handle, code, kTextNum, 1, text, num);
}

int kxsd_cli_ioctl_text_num_u64(void* handle, int32_t code, const char* text, uint32_t num, uint64_t value) {
    return send_form(handle, code, kTextNumU64, 1, text, num, static_cast<unsigned long long>(value));
}

int kxsd_cli_ioctl_text2(void* handle, int32_t code, const char* text, const char* text2) {
    return send_form(handle, code, kText2, 2, text, text2);
}

int kxsd_cli_ioctl_text_num2(void* handle, int32_t code, const char* text, uint32_t num, uint32_t num2) {
    return send_form(handle, code, kTextNum2, 1, text, num, num2);
}

int kxsd_cli_ioctl_text_times(void* handle, int32_t code, const char* text, const os_file_times* times) {
    if (!times) return cli_refuse(handle);
    return send_form(handle, code, kTextTimes, 1, text, static_cast<unsigned long long>(times->atime.sec),
                     static_cast<unsigned long long>(times->mtime.sec), static_cast<unsigned long long>(times->third.sec),
                     times->atime.nsec, times->mtime.nsec, times->third.nsec);
}

int kxsd_cli_ioctl_text_i64(void* handle, int32_t code, const char* text, int64_t value) {
    return send_form(handle, code, kTextI64, 1, text, static_cast<long long>(value));
}

int kxsd_cli_ioctl_num(void* handle, int32_t code, uint32_t num) { return send_form(handle, code, kNum, 0, num); }

int kxsd_cli_ioctl_num2(void* handle, int32_t code, uint32_t num, uint32_t num2) {
    return send_form(handle, code, kNum2, 0, num, num2);
}

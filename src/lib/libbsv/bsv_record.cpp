#include "libbsv/bsv_record.h"

#include <ctime>
#include <cstdio>
#include <cstring>

#include "libpal/memory/mem_endian.h"
#include "libpal/os/os_thread.h"

namespace {

constexpr uint32_t k_text_count = 6;

// The integers every record starts with.
uint32_t write_common(uint8_t* buf) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    mem_set_u64(0, buf, 0, static_cast<uint64_t>(ts.tv_sec));
    mem_set_u32(0, buf, 8, static_cast<uint32_t>(ts.tv_nsec / 1000));
    mem_set_u32(0, buf, 12, static_cast<uint32_t>(os_getpid()));
    mem_set_u32(0, buf, 16, os_thread_id());
    return 20;
}

int32_t write_texts(uint8_t* buf, uint32_t head, const char* tag, const char* path, int32_t line, const char* func,
                    const char* msg) {
    char tid_name[256];
    os_thread_name_get(tid_name, sizeof tid_name);
    char line_text[16];
    snprintf(line_text, sizeof line_text, "%d", line);
    const char* texts[k_text_count] = {tag, tid_name, path, line_text, func, msg};
    uint32_t used = bsv_pack_strings(buf + head, BSV_LOG_STR_ROOM, texts, k_text_count);
    return static_cast<int32_t>(head + used);
}

int read_texts(const uint8_t* rec, uint32_t len, uint32_t head, bsv_log_rec* out) {
    const char** fields[k_text_count] = {&out->tag, &out->tid_name, &out->file, &out->line, &out->func, &out->msg};
    uint32_t at = head;
    for (const char** f : fields) {
        if (at >= len) return -1;
        const void* end = memchr(rec + at, 0, len - at);
        if (!end) return -1;
        *f = reinterpret_cast<const char*>(rec + at);
        at = static_cast<uint32_t>(static_cast<const uint8_t*>(end) - rec) + 1;
    }
    return 0;
}

void read_common(const uint8_t* rec, bsv_log_rec* out) {
    out->sec = mem_get_u64(0, rec, 0);
    out->usec = mem_get_u32(0, rec, 8);
    out->pid = mem_get_u32(0, rec, 12);
    out->tid = mem_get_u32(0, rec, 16);
}

}  // namespace

uint32_t bsv_pack_strings(uint8_t* room, uint32_t size, const char* const* texts, uint32_t count) {
    if (!room || size < count) return 0;
    uint32_t used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const char* t = texts[i] ? texts[i] : "";
        // Room for this text's terminator and one byte for each later text.
        uint32_t avail = size - used - (count - 1 - i);
        size_t n = strnlen(t, avail - 1);
        memcpy(room + used, t, n);
        room[used + n] = 0;
        used += static_cast<uint32_t>(n) + 1;
    }
    return used;
}

int32_t bsv_log_record_write(uint8_t* buf, uint32_t level, const char* tag, const char* path, int32_t line,
                             const char* func, const char* msg) {
    if (!buf) return -1;
    write_common(buf);
    buf[20] = static_cast<uint8_t>(level & 0xff);
    return write_texts(buf, BSV_LOG_HEAD_SIZE, tag, path, line, func, msg);
}

int32_t bsv_klog_record_write(uint8_t* buf, uint32_t level, const char* tag, const char* path, int32_t line,
                              const char* func, const char* msg) {
    if (!buf) return -1;
    write_common(buf);
    mem_set_u16(0, buf, 20, 1);
    buf[22] = 2;
    buf[23] = static_cast<uint8_t>(level & 0xff);
    return write_texts(buf, BSV_KLOG_HEAD_SIZE, tag, path, line, func, msg);
}

int bsv_log_record_read(const void* rec, uint32_t len, bsv_log_rec* out) {
    if (!rec || !out || len < BSV_LOG_HEAD_SIZE) return -1;
    *out = {};
    auto* p = static_cast<const uint8_t*>(rec);
    read_common(p, out);
    out->level = p[20];
    return read_texts(p, len, BSV_LOG_HEAD_SIZE, out);
}

int bsv_klog_record_read(const void* rec, uint32_t len, bsv_log_rec* out) {
    if (!rec || !out || len < BSV_KLOG_HEAD_SIZE) return -1;
    *out = {};
    auto* p = static_cast<const uint8_t*>(rec);
    read_common(p, out);
    out->cpu_num = mem_get_u16(0, p, 20);
    out->irql = p[22];
    out->level = p[23];
    return read_texts(p, len, BSV_KLOG_HEAD_SIZE, out);
}

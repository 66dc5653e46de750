// Per-address count of failed logins.
#include "libpwd/ipcheck.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "libpal/basic/dict.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"
#include "libpwd/pwd_account.h"
#include "liblog/log2.h"

namespace {

constexpr char k_tag[] = "pwd";
constexpr uint32_t k_default_minutes = 60;
constexpr uint32_t k_default_table_size = 4096;
constexpr uint64_t k_ms_per_minute = 60000;

struct ipcheck_entry {
    uint64_t first_time;
    uint64_t fail_time;  // 0 until the first failure
    uint64_t lock_end;
    int32_t fail_count;
};

struct ipcheck_state {
    std::mutex mutex;  // covers every field
    uint32_t limit = 0;
    uint32_t minutes = k_default_minutes;
    uint32_t table_size = k_default_table_size;
    dict_ctx* table = nullptr;
    ipcheck_clock_fn clock = nullptr;
};

ipcheck_state& state() {
    static ipcheck_state s;
    return s;
}

uint64_t now_ms(const ipcheck_state& s) { return s.clock ? s.clock() : os_mono_ms(); }

ipcheck_entry* find(const ipcheck_state& s, const char* addr) {
    return static_cast<ipcheck_entry*>(dict_get(s.table, addr, nullptr));
}

// Makes room for one more address: drops every entry whose last failure is
// the oldest (the addresses that never failed come first).
void drop_oldest(ipcheck_state& s) {
    uint64_t oldest = UINT64_MAX;
    const char* key = nullptr;
    void* value = nullptr;
    for (int64_t pos = dict_next(s.table, 0, &key, &value); pos >= 0; pos = dict_next(s.table, pos, &key, &value))
        oldest = std::min(oldest, static_cast<ipcheck_entry*>(value)->fail_time);
    std::vector<std::string> victims;
    for (int64_t pos = dict_next(s.table, 0, &key, &value); pos >= 0; pos = dict_next(s.table, pos, &key, &value))
        if (static_cast<ipcheck_entry*>(value)->fail_time == oldest) victims.emplace_back(key);
    for (const std::string& v : victims) dict_unset(s.table, v.c_str());
}

void clear_table(ipcheck_state& s) {
    dict_free(s.table);
    s.table = nullptr;
}

}  // namespace

void ipcheck_init(const libpwd_conf* conf) {
    ipcheck_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    clear_table(s);
    s.limit = conf ? conf->login_fail_count : 0;
    if (s.limit == 0) {
        LOG2(LOG2_WARN, k_tag, "kxsd_login_fail_count==0 stop ipcheck\n");
        return;
    }
    s.minutes = conf->lock_minutes ? conf->lock_minutes : k_default_minutes;
    s.table_size = conf->table_size ? conf->table_size : k_default_table_size;
    s.table = dict_new(DICT_KEY_COPY | DICT_VAL_FREE);
    if (!s.table) s.limit = 0;
}

void ipcheck_exit() {
    ipcheck_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    clear_table(s);
    s.limit = 0;
}

int ipcheck_check(const char* addr, char* msg) {
    ipcheck_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.limit == 0 || !addr) return LIBPWD_LOGIN_OK;
    uint64_t now = now_ms(s);
    ipcheck_entry* e = find(s, addr);
    if (!e) {
        if (dict_count(s.table) >= s.table_size) drop_oldest(s);
        auto* fresh = static_cast<ipcheck_entry*>(pl_zalloc(sizeof(ipcheck_entry)));
        if (!fresh) return LIBPWD_LOGIN_OK;
        fresh->first_time = now;
        if (dict_set(s.table, addr, fresh) != 0) pl_free(fresh);
        return LIBPWD_LOGIN_OK;
    }
    if (e->fail_count < static_cast<int32_t>(s.limit)) return LIBPWD_LOGIN_OK;
    if (now < e->lock_end) {
        if (msg)
            str_sprintf_s(msg, LIBPWD_MSG_SIZE, "Login failed %d times, Please try again in %0.2f minutes",
                          e->fail_count, static_cast<double>(e->lock_end - now) / k_ms_per_minute);
        return LIBPWD_LOGIN_LOCKED;
    }
    e->fail_count = 0;
    return LIBPWD_LOGIN_OK;
}

void ipcheck_ok(const char* addr) {
    ipcheck_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.limit == 0 || !addr) return;
    dict_unset(s.table, addr);
}

void ipcheck_fail(const char* addr) {
    ipcheck_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.limit == 0 || !addr) return;
    ipcheck_entry* e = find(s, addr);
    if (!e) return;
    uint64_t now = now_ms(s);
    e->fail_time = now;
    e->fail_count += 1;
    if (e->fail_count == static_cast<int32_t>(s.limit)) e->lock_end = now + s.minutes * k_ms_per_minute;
}

void ipcheck_set_clock(ipcheck_clock_fn clock) {
    ipcheck_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.clock = clock;
}

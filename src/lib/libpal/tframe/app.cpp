#include "libpal/tframe/app.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "libpal/basic/pl_assert.h"
#include "libpal/env/pl_env.h"
#include "libpal/env/pl_init.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_fopen.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_daemon.h"
#include "libpal/os/posix/os_panic.h"
#include "libpal/os/posix/os_priv.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

app_info g_app;

namespace {

// Texts the frame allocates; freed by app_exit.
char* g_ini = nullptr;
char* g_dump_dir = nullptr;

void frame_signal(int signo) {
    if (g_app.sig_proc) g_app.sig_proc(signo);
}

void set_signals() {
    if (!g_app.sig_proc) return;
    struct sigaction sa{};
    sa.sa_handler = &frame_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// The ini path: the one the options gave, else the default name beside the executable.
void choose_ini(const char* exe_dir) {
    pl_free(g_ini);
    g_ini = nullptr;
    if (g_app.ini_path) {
        g_ini = pl_strdup(g_app.ini_path);
        return;
    }
    PL_CHECK_TEXT("pal", g_app.app_conf_file != nullptr, "g_app.app_conf_file!=NULL");
    os_asprintf(&g_ini, "%s/%s", exe_dir, g_app.app_conf_file ? g_app.app_conf_file : "");
}

void apply_log_options() {
    if (g_app.log_file) {
        log2_ioctl(nullptr, LOG2_IOC_FILE, g_app.log_file);
        log2_ioctl(nullptr, LOG2_IOC_FILE_OUT, 1, 0);
    }
    if (g_app.syslog_url) {
        log2_ioctl(nullptr, LOG2_IOC_SYSLOG_URL, g_app.syslog_url);
        log2_ioctl(nullptr, LOG2_IOC_SYSLOG_OUT, 1, 0);
    }
    if (g_app.level) log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, g_app.level);
}

// The start modes of programs that pass an option callback.
void option_start(int argc, char** argv) {
    g_app.opt_proc(argc, argv);
    set_signals();
    char exe_dir[4096];
    if (os_exe_get_dir(exe_dir, sizeof exe_dir) != 0) exe_dir[0] = 0;
    if (g_app.chdir_exe && os_chdir(exe_dir) != 0)
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "os_chdir(%s) error: ", exe_dir);
    log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, "info");
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_STR, "time|tid|func");
    choose_ini(exe_dir);
    log2_init(g_ini, g_app.app_name);
    apply_log_options();
    if (g_app.init_proc) g_app.init_proc();
    const char* ini = g_ini;
    if (!ini || os_access(ini, R_OK) != 0) {
        LOG2(LOG2_VERB, "pal", "Load default %s\n", g_app.app_conf_file ? g_app.app_conf_file : "");
        ini = g_app.app_conf_file;
    }
    if (g_app.conf_load_proc) g_app.conf_load_proc(ini);
    os_opt_load(g_app.opt_table);
    os_opt_free(g_app.opt_table);
    app_baner();

    if (g_app.conf_dump) {
        app_conf_dump();
        exit(0);
    }
    if (g_app.shell_arg) {
        if (PL_CHECK_TEXT("pal", g_app.shell_stdio_loop != nullptr, "g_app.shell_stdio_loop!=NULL"))
            g_app.shell_stdio_loop(g_app.shell_arg);
        exit(0);
    }
    if (g_app.shell_cmd) {
        log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, "info");
        if (PL_CHECK_TEXT("pal", g_app.shell_connet_cmd != nullptr, "g_app.shell_connet_cmd!=NULL"))
            g_app.shell_connet_cmd("127.0.0.1", g_app.shell_port, g_app.shell_cmd);
        exit(0);
    }
    if (g_app.pre_start_proc) g_app.pre_start_proc();
    if (g_app.start_check_proc && g_app.start_check_proc() < 0) exit(1);
    if (g_app.need_root && !os_is_root())
        LOG2(LOG2_WARN, "pal", "%s privileges are required to run the program\n", "root");
    if (g_app.core_dump_dir) {
        pl_free(g_dump_dir);
        g_dump_dir = nullptr;
        if (g_app.core_dump_dir[0] == '/' || !g_app.core_dump_dir[0])
            g_dump_dir = pl_strdup(g_app.core_dump_dir);
        else
            os_asprintf(&g_dump_dir, "%s/%s", exe_dir, g_app.core_dump_dir);
        os_painc_set_dump_dir(g_dump_dir ? g_dump_dir : "", g_app.app_name);
    }
    if (g_app.daemon) {
        os_daemonize();
        os_thread_name_set("main");
    }
}

// A word of the command line as the log shows it: the password of a URL
// (and the values of secret query keys) become "***", whether the URL is
// the whole word or the value of an "operand=" word.
std::string masked_word(const char* word) {
    std::string_view w(word);
    size_t scheme = w.find("://");
    size_t eq = w.find('=');
    size_t from = eq != std::string_view::npos && eq < scheme ? eq + 1 : 0;
    std::string value(w.substr(from));
    std::vector<char> shown(value.size() + URL_SIZE);
    if (url_mask_password(value.c_str(), shown.data(), shown.size()) != 0 ||
        std::strcmp(shown.data(), "url parser error") == 0)
        return std::string(w.substr(0, from)) + "***";
    return std::string(w.substr(0, from)) + shown.data();
}

// The command line for the log, with every password masked.
void masked_cmdline(int argc, char** argv, char* out, size_t size) {
    std::vector<std::string> words;
    for (int i = 0; i < argc && argv[i]; ++i) words.push_back(masked_word(argv[i]));
    std::vector<char*> ptrs;
    for (std::string& w : words) ptrs.push_back(w.data());
    ptrs.push_back(nullptr);
    os_argv_to_line(static_cast<int>(words.size()), ptrs.data(), out, size);
}

}  // namespace

void app_hide_secrets(int argc, char** argv) {
    if (!argv) return;
    for (int i = 0; i < argc && argv[i]; ++i) {
        char* word = argv[i];
        const std::string shown = masked_word(word);
        const size_t len = std::strlen(word);
        if (shown.size() == len && std::memcmp(shown.data(), word, len) == 0) continue;
        // The secrets lie where the masked word differs from the word: that
        // part is overwritten in place, so the word keeps its length and the
        // argument area its layout.
        size_t head = 0;
        while (head < len && head < shown.size() && word[head] == shown[head]) ++head;
        size_t tail = 0;
        while (tail < len - head && tail < shown.size() - head && word[len - 1 - tail] == shown[shown.size() - 1 - tail])
            ++tail;
        std::memset(word + head, '*', len - head - tail);
    }
}

void app_opt_init(int argc, char** argv) {
    pl_init();
    os_thread_name_set("main");
    PL_CHECK_TEXT("pal", g_app.app_name != nullptr, "g_app.app_name!=NULL");
    PL_CHECK_TEXT("pal", g_app.app_desc != nullptr, "g_app.app_desc!=NULL");
    PL_CHECK_TEXT("pal", g_app.app_ver != nullptr, "g_app.app_ver!=NULL");
    PL_CHECK_TEXT("pal", g_app.app_ver_date != nullptr, "g_app.app_ver_date!=NULL");
    g_app.sysinfo = &g_sysinfo;
    if (argv) masked_cmdline(argc, argv, g_app.cmdline, sizeof g_app.cmdline);
    os_panic_init();
    if (!g_app.opt_proc) return;
    option_start(argc, argv);
}

void app_baner() {
    char banner[256];
    auto s = [](const char* t) { return t ? t : ""; };
    str_sprintf_s(banner, sizeof banner, "%s-%s-%s v%s (%s) - %s", s(g_app.app_name), g_sysinfo.os_name,
                  g_sysinfo.arch_name, s(g_app.app_ver), s(g_app.app_ver_date), s(g_app.app_desc));
    if (g_app.daemon || g_app.log_banner) {
        LOG2(LOG2_DBG, "pal", "%s\n", banner);
        if (g_app.log_cmdline) LOG2(LOG2_DBG | LOG2_BSV, "pal", "cmdline=[%s] os=[%s]\n", g_app.cmdline, os_info_str());
    }
    if (!g_app.quiet) {
        fprintf(stderr, "%s\n", banner);
        if (g_app.app_banner2) fprintf(stderr, "%s\n", g_app.app_banner2);
        if (g_app.daemon) fprintf(stderr, "daemon startup is complete, press any key to continue\n");
        fflush(stderr);
    }
}

void app_conf_dump() {
    if (!g_app.conf_dump_proc) {
        LOG2(LOG2_ERR, "pal", "g_app.conf_dump_proc = NULL!\n");
        return;
    }
    char* text = g_app.conf_dump_proc();
    if (text) {
        fprintf(stdout, "%s", text);
        fflush(stdout);
    }
    pl_free(text);
}

void app_exit() {
    if (g_app.exit_cb) g_app.exit_cb();
    pl_free(g_ini);
    g_ini = nullptr;
    pl_free(g_dump_dir);
    g_dump_dir = nullptr;
    // Each of these is a no-op when the logger's exit has already released it.
    os_thread_name_del();
    pl_exit();
}

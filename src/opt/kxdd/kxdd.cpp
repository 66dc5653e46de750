// kxdd: convert and copy a file.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "kxdd_opts.h"
#include "kxdd_sig.h"
#include "libdd/dd.h"
#include "libdd/dd_opts.h"
#include "libpal/env/pl_env.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_console.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app.h"
#include "liblog/log2.h"

namespace {

dd_opts g_dd_opts;

void set_identity() {
    g_app.app_name = "kxdd";
    g_app.app_ver = "1.7.2.0";
    g_app.app_ver_num = 0x1070200;
    g_app.app_ver_date = "2024-2-29";
    g_app.app_desc = "convert and copy a file [staic]";
    g_app.app_banner2 = "copies and converts files and devices block by block";
    g_sysinfo.ver_id = 0x1070200;
    // The banner goes to the log only (at dbg), with the command line.
    g_app.quiet = 1;
    g_app.log_banner = 1;
    g_app.log_cmdline = 1;
}

void logger_setup() {
    char dir[4096];
    char ini[8192];
    if (os_exe_get_dir(dir, sizeof dir) != 0) dir[0] = 0;
    str_sprintf_s(ini, sizeof ini, "%s/kxdd.ini", dir);
    log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, "info");
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_STR, "time|tid|func");
    log2_init(ini, nullptr);
    // The console lines follow the log lines: "no_colour" takes the colour
    // off both.
    auto* info = static_cast<log2_info*>(pl_zalloc(sizeof(log2_info)));
    if (info) {
        log2_get_info(nullptr, info);
        os_console_set_colour((info->flags & LOG2_F_COLOR) != 0);
        pl_free(info);
    }
}

}  // namespace

int main(int argc, char** argv) {
    set_identity();
    app_opt_init(argc, argv);
    logger_setup();
    kxdd_sig_start();
    dd_opts_init(&g_dd_opts);

    if (argc == 2 && strcmp(argv[1], "-v") == 0) {
        printf("%s\n", g_app.app_ver);
        fflush(stdout);
        kxdd_sig_stop();
        return 0;
    }
    kxdd_parse_operands(&g_dd_opts, argc, argv);
    app_hide_secrets(argc, argv);
    app_baner();

    dd_global_init();
    dd_ctx* ctx = dd_open();
    if (!ctx) LOG2(LOG2_CRIT, "tag", "dd_open error\n");
    kxdd_sig_ops ops{[](void* c) { dd_stop(static_cast<dd_ctx*>(c)); },
                     [](void* c) { dd_print_stat(static_cast<dd_ctx*>(c), 0); }, ctx};
    kxdd_sig_set_ops(&ops);
    int status = dd_work(ctx, &g_dd_opts);
    if (status == 0) status = dd_wait_stop(ctx);
    if (dd_abandoned(ctx)) {
        // The worker is stuck in a call that does not return: the process
        // ends without it, with the status of the stop.
        LOG2(LOG2_ERR, "tag", "exiting with status %d without waiting for the worker\n", status);
        log2_exit(nullptr);
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    kxdd_sig_set_ops(nullptr);

    if (dd_close(ctx) != 0) {
        // A hash or count thread is stuck in a read of the input: the context
        // and the device stay for it, and the process ends without it.
        LOG2(LOG2_ERR, "tag", "exiting with status %d without waiting for a job thread\n", status);
        log2_exit(nullptr);
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    dd_global_exit();
    kxdd_sig_stop();
    dd_opts_free(&g_dd_opts);
    LOG2(LOG2_DBG, "tag", "<== ret=%d\n", status);
    log2_exit(nullptr);
    app_exit();
    return status;
}

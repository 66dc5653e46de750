#include "libpal/tframe/app.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/env/pl_init.h"
#include "libpal/os/os_thread.h"

app_info g_app;

void app_opt_init(int argc, char** argv) {
    pl_init();
    os_thread_name_set("main");
    PL_CHECK_TEXT("pal", g_app.app_name != nullptr, "g_app.app_name!=NULL");
    PL_CHECK_TEXT("pal", g_app.app_desc != nullptr, "g_app.app_desc!=NULL");
    PL_CHECK_TEXT("pal", g_app.app_ver != nullptr, "g_app.app_ver!=NULL");
    PL_CHECK_TEXT("pal", g_app.app_ver_date != nullptr, "g_app.app_ver_date!=NULL");
    if (argv) {
        g_app.cmdline[0] = 0;
        size_t len = 0;
        for (int i = 0; i < argc && argv[i]; ++i) {
            size_t n = strlen(argv[i]);
            if (len + n + 2 > sizeof g_app.cmdline) break;
            if (len) g_app.cmdline[len++] = ' ';
            memcpy(g_app.cmdline + len, argv[i], n);
            len += n;
            g_app.cmdline[len] = 0;
        }
    }
}

void app_exit() {
    if (g_app.exit_cb) g_app.exit_cb();
    os_thread_name_del();
    pl_exit();
}

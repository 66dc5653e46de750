// The application frame: a program's identity, start and end.
#pragma once

#include <cstdint>

struct app_info {
    const char* app_name;
    const char* app_ver;
    const char* app_ver_date;
    const char* app_desc;
    const char* app_banner2;
    uint32_t app_ver_num;
    char cmdline[4096];
    const char* app_conf_file;
    void (*exit_cb)();
};

extern app_info g_app;

// Initialises the platform, names the calling thread "main".
void app_opt_init(int argc, char** argv);
// Runs the exit callback, removes the thread's name, stops the platform.
void app_exit();

// The application frame: a program's identity, start and end.
//
// main fills g_app with its identity, calls app_opt_init first and app_exit
// last (after the logger's own exit). Without an option callback the start
// only initialises the platform, names the thread "main", joins the command
// line and installs the fatal-signal handler. With one, it goes on to parse
// options, set up logging from the program's ini file, print the banner and
// run one of the start modes below.
#pragma once

#include <cstdint>

#include "libpal/env/os_opt.h"
#include "libpal/env/pl_sysinfo.h"

struct app_info {
    // Identity (required).
    const char* app_name;
    const char* app_ver;
    const char* app_ver_date;
    const char* app_desc;
    const char* app_banner2;  // second banner line, printed under the banner (optional)
    char cmdline[4096];       // joined from the argument vector by app_opt_init, passwords masked
    const pl_sysinfo* sysinfo;  // the platform's record, set by app_opt_init
    uint32_t app_ver_num;       // 0x01070200 for "1.7.2.0"
    const char* app_conf_file;  // default ini file name

    // Callbacks, each optional.
    int (*shell_stdio_loop)(const char* arg);
    int (*shell_connet_cmd)(const char* host, uint32_t port, const char* cmd);
    int (*opt_proc)(int argc, char** argv);
    int (*conf_load_proc)(const char* ini_path);
    char* (*conf_dump_proc)();  // a new text (pl_free)
    void (*pre_start_proc)();
    int (*start_check_proc)();  // negative: the process ends with status 1
    void (*sig_proc)(int signo);  // SIGINT and SIGTERM
    void (*init_proc)();
    void (*exit_cb)();

    os_opt_row* opt_table;  // applied and freed after the config-load callback

    // Set by the option callback (owned by the program).
    const char* ini_path;
    const char* level;
    const char* log_file;
    const char* syslog_url;

    uint32_t daemon;
    uint32_t quiet;        // no banner on standard error
    uint32_t conf_dump;
    uint32_t need_root;
    uint32_t log_cmdline;  // with log_banner or daemon: the command line logged too
    uint32_t log_banner;
    uint32_t chdir_exe;

    const char* shell_cmd;  // command for the local shell server
    const char* shell_arg;  // standard-input shell argument
    uint32_t shell_port;

    const char* core_dump_dir;
};

extern app_info g_app;

// Starts the frame. Never fails: a missing identity text is only logged.
void app_opt_init(int argc, char** argv);
// Overwrites with "*", in the process's own argument strings, every part of
// a word that the logged command line masks (URL passwords, secret query
// values), so that the process list does not show them. Call once the words
// have been parsed: their values are gone afterwards.
void app_hide_secrets(int argc, char** argv);
// Runs the exit callback, frees what the frame allocated, removes the
// calling thread's name and stops the platform. Safe after log2_exit.
void app_exit();
// "%s-%s-%s v%s (%s) - %s": name, os, architecture, version, date,
// description. Logged at dbg with the daemon or log-the-banner flag (and
// then the command line with the log-the-command-line flag), printed to
// standard error unless the quiet flag is set.
void app_baner();
// Prints the text of conf_dump_proc to standard output and frees it.
void app_conf_dump();

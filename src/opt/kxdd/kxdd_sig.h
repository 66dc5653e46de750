// The command's signals. SIGINT and SIGPIPE request a stop, SIGUSR1 prints
// the summary so far. The asynchronous handler only records the signal; the
// work happens on a thread of its own, where it may take locks and log.
#pragma once

#include <cstdint>

// What the signal thread calls; each may be none.
struct kxdd_sig_ops {
    void (*stop)(void* arg);   // SIGINT, SIGPIPE
    void (*stat)(void* arg);   // SIGUSR1
    void* arg;
};

// Installs the handler for SIGUSR1, SIGPIPE and SIGINT and starts the signal thread; 0 or -1.
int kxdd_sig_start();
// Routes later signals to an engine (none: only log them).
void kxdd_sig_set_ops(const kxdd_sig_ops* ops);
// Ends the signal thread; signals after it are only recorded.
void kxdd_sig_stop();
// True once SIGINT or SIGPIPE has arrived (set inside the asynchronous handler).
bool kxdd_sig_stop_requested();

// The work of one signal, on the signal thread.
void sighandler(int signum);

#include "kxdd_sig.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

namespace {

int g_pipe[2] = {-1, -1};
// How long the end of the command waits for the signal thread.
constexpr uint32_t k_stop_wait_ms = 5000;
std::atomic<bool> g_stop_requested{false};
os_thread_ctx* g_thread = nullptr;
std::mutex g_ops_mu;
kxdd_sig_ops g_ops{};

// Asynchronous part: async-signal-safe only.
void sig_record(int signum) {
    int saved = errno;
    if (signum == SIGINT || signum == SIGPIPE) g_stop_requested.store(true, std::memory_order_relaxed);
    unsigned char b = static_cast<unsigned char>(signum);
    if (g_pipe[1] >= 0) (void)!write(g_pipe[1], &b, 1);
    errno = saved;
}

int32_t sig_thread(void*) {
    while (true) {
        unsigned char b;
        ssize_t n = read(g_pipe[0], &b, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || b == 0) break;
        sighandler(b);
    }
    return 0;
}

}  // namespace

void sighandler(int signum) {
    LOG2(LOG2_DBG, "tag", "signum=%d\n", signum);
    // Held during the call, so the engine is not closed under it.
    std::lock_guard<std::mutex> g(g_ops_mu);
    if ((signum == SIGINT || signum == SIGPIPE) && g_ops.stop) g_ops.stop(g_ops.arg);
    else if (signum == SIGUSR1 && g_ops.stat) g_ops.stat(g_ops.arg);
}

int kxdd_sig_start() {
    if (g_thread) return 0;
    if (pipe2(g_pipe, O_CLOEXEC) != 0) return -1;
    fcntl(g_pipe[1], F_SETFL, fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
    g_thread = os_thread_create("sig", &sig_thread, nullptr, 0);
    if (!g_thread) {
        close(g_pipe[0]);
        close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
        return -1;
    }
    struct sigaction sa{};
    sa.sa_handler = &sig_record;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGUSR1, SIGPIPE, SIGINT}) sigaction(s, &sa, nullptr);
    return 0;
}

void kxdd_sig_set_ops(const kxdd_sig_ops* ops) {
    std::lock_guard<std::mutex> g(g_ops_mu);
    g_ops = ops ? *ops : kxdd_sig_ops{};
}

void kxdd_sig_stop() {
    if (!g_thread) return;
    unsigned char quit = 0;
    while (write(g_pipe[1], &quit, 1) < 0 && errno == EINTR) {
    }
    // The thread may be inside a summary or a stop: it gets a bounded time,
    // then it is left behind (its pipe stays open for it).
    int rc = os_thread_join_or_leave(g_thread, k_stop_wait_ms, nullptr);
    g_thread = nullptr;
    if (rc != 0) {
        // It may hold the lock of the routes: they are left as they are.
        LOG2(LOG2_ERR, "tag", "the signal thread did not end within %u ms: it is left behind\n", k_stop_wait_ms);
        return;
    }
    kxdd_sig_set_ops(nullptr);
}

bool kxdd_sig_stop_requested() { return g_stop_requested.load(std::memory_order_relaxed); }

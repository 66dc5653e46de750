// Replays stored inputs through a fuzz target without libFuzzer, so that the
// normal (g++, sanitizer) build runs every seed corpus and every crash
// reproducer as a regression test.
//
//   fuzz_<name>_replay <dir or file>...
//
// Each directory contributes its regular files (sorted by name, not
// recursed into); a missing directory contributes nothing. A run that finds
// no input at all fails, so a mistyped corpus path cannot pass unnoticed.
// When an input aborts or trips a sanitizer, the name of that input is the
// last line on stderr.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
// Present only when the program runs under a sanitizer runtime.
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)(void));

namespace {

// The input being run, for the reports of a dying process.
char g_current[4096];

void say_current() {
    if (!g_current[0]) return;
    static const char head[] = "fuzz replay: failing input: ";
    (void)!write(2, head, sizeof head - 1);
    (void)!write(2, g_current, strlen(g_current));
    (void)!write(2, "\n", 1);
}

void on_fatal_signal(int sig) {
    say_current();
    signal(sig, SIG_DFL);
    raise(sig);
}

bool read_whole(const std::string& path, std::vector<uint8_t>* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        out->insert(out->end(), chunk, chunk + n);
    }
    close(fd);
    return true;
}

// The regular files named by one argument; false when it names something
// that exists but cannot be listed.
bool collect(const std::string& arg, std::vector<std::string>* files) {
    struct stat st;
    if (stat(arg.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISREG(st.st_mode)) {
        files->push_back(arg);
        return true;
    }
    if (!S_ISDIR(st.st_mode)) return false;
    DIR* d = opendir(arg.c_str());
    if (!d) return false;
    std::vector<std::string> here;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;  // also skips README-style dot files
        const std::string p = arg + "/" + e->d_name;
        if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) here.push_back(p);
    }
    closedir(d);
    std::sort(here.begin(), here.end());
    files->insert(files->end(), here.begin(), here.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        if (!collect(argv[i], &files)) {
            fprintf(stderr, "fuzz replay: cannot read %s: %s\n", argv[i], strerror(errno));
            return 2;
        }
    }
    if (files.empty()) {
        fprintf(stderr, "fuzz replay: no input found\n");
        return 2;
    }
    if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(say_current);
    signal(SIGABRT, on_fatal_signal);
    signal(SIGSEGV, on_fatal_signal);
    signal(SIGBUS, on_fatal_signal);
    signal(SIGFPE, on_fatal_signal);
    signal(SIGILL, on_fatal_signal);
    std::vector<uint8_t> bytes;
    for (const std::string& f : files) {
        if (!read_whole(f, &bytes)) {
            fprintf(stderr, "fuzz replay: cannot read %s: %s\n", f.c_str(), strerror(errno));
            return 2;
        }
        snprintf(g_current, sizeof g_current, "%s", f.c_str());
        // An exact-size copy, so that a read past the end of the input is caught.
        const size_t n = bytes.size();
        std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
        if (n) memcpy(copy.get(), bytes.data(), n);
        LLVMFuzzerTestOneInput(copy.get(), n);
        g_current[0] = 0;
    }
    fprintf(stderr, "fuzz replay: %zu input(s) passed\n", files.size());
    return 0;
}

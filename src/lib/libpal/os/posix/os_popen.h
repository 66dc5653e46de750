// Child processes with captured output. A command is always run from an
// argument vector with execvp: no shell ever sees a command text, so no text
// given to these functions can start other commands. The child gets the
// default signal dispositions, an empty signal mask and no descriptor of
// this process other than its standard ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct os_popen_ctx {
    uint32_t pid;    // 0 once waited for
    int32_t fd;      // our end of the data pipe: the child's output ("r") or input ("w")
    int32_t fd_err;  // reading end of the child's standard error
    bool reading;    // mode "r"
    bool drained;    // both pipes read to their end
    std::string out, err;
};

// Starts argv[0] (looked up in PATH) with the arguments argv[0..] (ended by
// nothing). mode "r": its standard output goes to the data pipe; "w": its
// standard input comes from it. Standard error always goes to the error
// pipe. Nothing, with errno EINVAL for another mode or the error of the
// failed pipe or fork. A program that cannot be started ends the child with
// its errno value as exit status.
os_popen_ctx* os_popen_vec(const char* const* argv, const char* mode);
// The same for a command text split into words by argv_split (blanks and
// tabs separate words, double quotes group them).
os_popen_ctx* os_popen(const char* command, const char* mode);
os_popen_ctx* os_popen_argv(const char* command, const char* mode);

// Everything the child wrote to its standard output (mode "r") or error, as
// a new text (pl_free) or nothing when empty. The first call reads both
// pipes together to their ends, so a child filling one of them never blocks
// the reading of the other; the second text is kept for its own call.
char* os_popen_read_out(os_popen_ctx* h);
char* os_popen_read_err(os_popen_ctx* h);
// A descriptor read to its end in 4096-byte pieces, as a new text (pl_free);
// nothing when nothing was read.
char* os_fd_read_text(int fd);

// Exit status of the child (0-255), or the number of the signal that ended
// it (logged "WIF_SIGNALED" at dbg); 0 when it was already waited for.
// os_perrno polls for about one second and gives -1 when the child still
// runs (it can be waited for later); os_pwait waits as long as it takes. A
// failing wait gives -1. After a result the process id is 0.
int os_perrno(os_popen_ctx* h);
int os_pwait(os_popen_ctx* h);
// Closes both pipes, waits for the child (so no finished child is left
// behind) and frees the handle. Returns 0.
int os_pclose(os_popen_ctx* h);

// Runs a command in mode "r" and collects both texts (new texts or nothing;
// either out pointer may be absent). Exit status, or -1 when it could not be
// started. arg is not read.
int os_popen_run_vec(const char* const* argv, char** out, char** err);
int os_popen_run(const char* command, void* arg, char** out, char** err);
int os_popen_run_argv(const char* command, void* arg, char** out, char** err);

// Runs a command and copies into value the trimmed text after the first ":"
// of the output line whose part before it is key. value is emptied first.
// 0 when the key was found, else -1.
int get_popen_val_vec(const char* const* argv, const char* key, char* value, size_t size);
int get_popen_val(const char* command, const char* key, char* value, size_t size);

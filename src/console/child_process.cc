#include "console/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "startup/process_state.h"

volatile int pipe_child_pid = -1;

namespace {

// Room for the program path, 14 arguments and the terminating null.
constexpr int ARGV_ENTRIES = 16;

// The exit code of a child whose program could not be started.
constexpr int START_FAILED = 127;

// The signal mask to put back once the pipe child has been waited for.
sigset_t mask_before_pipe;

// Fills argv with path and the arguments up to their null. Arguments that
// are exactly ">null" are left out when skip_marker is set (and reported
// through marker_seen). False when the arguments do not fit.
bool build_argv(const char* argv[ARGV_ENTRIES], const char* path, va_list args, bool skip_marker,
                bool* marker_seen) {
    int count = 0;
    argv[count++] = path;
    for (;;) {
        const char* arg = va_arg(args, const char*);
        if (arg && skip_marker && strcmp(arg, ">null") == 0) {
            *marker_seen = true;
            continue;
        }
        if (count == ARGV_ENTRIES - 1 && arg) return false;
        argv[count++] = arg;
        if (!arg) return true;
    }
}

void block_child_signal(sigset_t* previous) {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, previous);
}

void restore_signal_mask(const sigset_t* previous) {
    sigprocmask(SIG_SETMASK, previous, nullptr);
}

// First steps of every child: the signal state a freshly started program
// expects. SIGINT goes back to its default so that the abort handler never
// runs in a child before its program has replaced it.
void reset_child_signals() {
    signal(SIGINT, SIG_DFL);
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &chld, nullptr);
}

void close_inherited_descriptors() {
    for (int fd = 3; fd <= 15; fd++) close(fd);
}

[[noreturn]] void exec_or_fail(const char* argv[ARGV_ENTRIES]) {
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(START_FAILED);
}

// waitpid for one child, started again after an interruption.
int wait_for_child(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// Parent side of a failed pipe start: the descriptors are closed, the mask
// restored; a child that was started is left to the SIGCHLD handler (it
// sees the pipe closed and ends).
FILE* pipe_start_failed(int fd_a, int fd_b) {
    if (fd_a >= 0) close(fd_a);
    if (fd_b >= 0) close(fd_b);
    restore_signal_mask(&mask_before_pipe);
    return nullptr;
}

}  // namespace

int run_program(const char* root, const char* path, ...) {
    const char* argv[ARGV_ENTRIES];
    va_list args;
    va_start(args, path);
    bool ok = build_argv(argv, path, args, false, nullptr);
    va_end(args);
    if (!ok) return -1;

    sigset_t previous;
    block_child_signal(&previous);
    pid_t pid = fork();
    if (pid < 0) {
        restore_signal_mask(&previous);
        return -1;
    }
    if (pid == 0) {
        reset_child_signals();
        for (int fd = 0; fd <= 15; fd++) close(fd);
        // Descriptors 0, 1 and 2 by the lowest-free rule; a failure leaves
        // the program without that stream, nothing more.
        open("/dev/null", O_RDONLY);
        open(log_terminal, O_WRONLY);
        if (dup(1) < 0) {
        }
        if (root && chroot(root) != 0) _exit(START_FAILED);
        exec_or_fail(argv);
    }
    int status = wait_for_child(pid);
    restore_signal_mask(&previous);
    return status;
}

FILE* open_read_pipe(const char* path, ...) {
    if (pipe_child_pid != -1) return nullptr;
    const char* argv[ARGV_ENTRIES];
    va_list args;
    va_start(args, path);
    bool ok = build_argv(argv, path, args, false, nullptr);
    va_end(args);
    if (!ok) return nullptr;

    block_child_signal(&mask_before_pipe);
    // Both ends are closed on exec: the child keeps only the copy that
    // dup2 makes, even when the ends lie above descriptor 15.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return pipe_start_failed(-1, -1);
    pid_t pid = fork();
    if (pid < 0) return pipe_start_failed(fds[0], fds[1]);
    if (pid == 0) {
        reset_child_signals();
        dup2(fds[1], 1);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        int log_fd = open(log_terminal, O_WRONLY);
        dup2(log_fd, 2);
        close_inherited_descriptors();
        exec_or_fail(argv);
    }
    close(fds[1]);
    FILE* stream = fdopen(fds[0], "r");
    if (!stream) return pipe_start_failed(fds[0], -1);
    pipe_child_pid = pid;
    return stream;
}

FILE* open_write_pipe(const char* path, ...) {
    const char* argv[ARGV_ENTRIES];
    bool to_log = false;
    va_list args;
    va_start(args, path);
    bool ok = build_argv(argv, path, args, true, &to_log);
    va_end(args);
    if (!ok) return nullptr;
    if (pipe_child_pid != -1) return nullptr;

    block_child_signal(&mask_before_pipe);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return pipe_start_failed(-1, -1);
    pid_t pid = fork();
    if (pid < 0) return pipe_start_failed(fds[0], fds[1]);
    if (pid == 0) {
        reset_child_signals();
        dup2(fds[0], 0);
        if (to_log) {
            int log_fd = open(log_terminal, O_WRONLY);
            dup2(log_fd, 1);
            dup2(log_fd, 2);
        }
        close_inherited_descriptors();
        exec_or_fail(argv);
    }
    close(fds[0]);
    FILE* stream = fdopen(fds[1], "w");
    if (!stream) return pipe_start_failed(fds[1], -1);
    pipe_child_pid = pid;
    return stream;
}

int close_pipe(FILE* stream) {
    if (pipe_child_pid == -1) return -1;
    pid_t pid = pipe_child_pid;
    pipe_child_pid = -1;
    if (fclose(stream) != 0) {
        restore_signal_mask(&mask_before_pipe);
        return -1;
    }
    int status = wait_for_child(pid);
    restore_signal_mask(&mask_before_pipe);
    return status;
}

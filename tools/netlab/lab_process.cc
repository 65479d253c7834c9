#include "lab_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Reads what the child wrote, waiting at most timeout_ms for it.
void collect(LabProcess& process, int timeout_ms) {
    if (process.output_fd < 0) return;
    pollfd p = {process.output_fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    ssize_t n = read(process.output_fd, buffer, sizeof buffer);
    if (n > 0) {
        process.output.append(buffer, static_cast<size_t>(n));
    } else {
        close(process.output_fd);
        process.output_fd = -1;
    }
}

}  // namespace

bool start_in_namespace(LabProcess& process, const NetNamespace& ns,
                        const std::function<int()>& body) {
    int output[2], input[2];
    if (pipe2(output, O_CLOEXEC) != 0) return false;
    if (pipe2(input, O_CLOEXEC) != 0) {
        close(output[0]);
        close(output[1]);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        if (!enter_namespace(ns)) _exit(255);
        int code = body();
        fflush(stdout);
        fflush(stderr);
        _exit(code);
    }
    close(output[1]);
    close(input[0]);
    if (child < 0) {
        close(output[0]);
        close(input[1]);
        return false;
    }
    process.pid = child;
    process.output_fd = output[0];
    process.input_fd = input[1];
    process.output.clear();
    process.ended = false;
    process.status = -1;
    return true;
}

void send_keys(LabProcess& process, const std::string& text) {
    if (process.input_fd < 0) return;
    ssize_t n = write(process.input_fd, text.data(), text.size());
    (void)n;
}

bool wait_for_output(LabProcess& process, const std::string& text, int timeout_ms, size_t from) {
    int64_t end = monotonic_ms() + timeout_ms;
    while (process.output.find(text, from) == std::string::npos) {
        int64_t left = end - monotonic_ms();
        if (left <= 0 || process.output_fd < 0) return false;
        collect(process, static_cast<int>(left < 50 ? left : 50));
    }
    return true;
}

bool finish_processes(const std::vector<LabProcess*>& processes, int timeout_ms) {
    int64_t end = monotonic_ms() + timeout_ms;
    bool all_by_themselves = true;
    for (;;) {
        bool running = false;
        for (LabProcess* process : processes) {
            collect(*process, 0);
            if (!process->ended && process->pid > 0 &&
                waitpid(process->pid, &process->status, WNOHANG) == process->pid) {
                process->ended = true;
            }
            if (!process->ended && process->pid > 0) running = true;
        }
        if (!running) break;
        if (monotonic_ms() > end) {
            for (LabProcess* process : processes) {
                if (process->ended || process->pid <= 0) continue;
                kill(process->pid, SIGKILL);
                waitpid(process->pid, &process->status, 0);
                process->ended = true;
                process->status = -1;
                all_by_themselves = false;
            }
            break;
        }
        for (LabProcess* process : processes) collect(*process, 10);
    }
    for (LabProcess* process : processes) {
        int64_t drained_by = monotonic_ms() + 2000;
        while (process->output_fd >= 0 && monotonic_ms() < drained_by) collect(*process, 100);
        if (process->input_fd >= 0) close(process->input_fd);
        process->input_fd = -1;
    }
    return all_by_themselves;
}

int exit_code(const LabProcess& process) {
    if (!process.ended || process.status == -1 || !WIFEXITED(process.status)) return -1;
    return WEXITSTATUS(process.status);
}

std::vector<pid_t> child_processes(pid_t pid) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        int child = atoi(entry->d_name);
        if (child <= 0) continue;
        std::string stat_path = "/proc/" + std::to_string(child) + "/stat";
        FILE* f = fopen(stat_path.c_str(), "r");
        if (f == nullptr) continue;
        char text[512] = {};
        size_t n = fread(text, 1, sizeof text - 1, f);
        fclose(f);
        text[n] = '\0';
        // The parent is the second field after the command's closing parenthesis.
        const char* close = strrchr(text, ')');
        int parent = 0;
        if (close != nullptr && sscanf(close + 2, "%*c %d", &parent) == 1 && parent == pid)
            children.push_back(child);
    }
    if (proc != nullptr) closedir(proc);
    return children;
}

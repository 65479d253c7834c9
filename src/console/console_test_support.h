#pragma once
// Helpers for the console and start-up tests: temporary folders, captured
// standard output and a pseudo-terminal session with a forked child.
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

// A folder under /tmp, removed with its contents at the end of the test.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/brindlex-test-XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~TempDir() {
        if (path.empty()) return;
        nftw(
            path.c_str(),
            [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    FILE* f = fopen(path.c_str(), "w");
    if (!f) return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

// Everything body writes to standard output (buffered or not).
inline std::string capture_stdout(const std::function<void()>& body) {
    fflush(stdout);
    char name[] = "/tmp/brindlex-stdout-XXXXXX";
    int fd = mkstemp(name);
    int saved = dup(1);
    dup2(fd, 1);
    body();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::string text = read_file(name);
    unlink(name);
    return text;
}

// Runs body in a forked child whose standard input and output are the
// slave side of a fresh pseudo-terminal (output translation off, so the
// bytes read from the master are exactly what the child wrote). The
// child's exit code is body's result.
struct PtySession {
    int master = -1;
    int slave = -1;
    pid_t child = -1;
    std::string output;
    termios initial{};

    explicit PtySession(const std::function<int()>& body) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
        termios t;
        tcgetattr(slave, &t);
        t.c_oflag &= ~OPOST;
        tcsetattr(slave, TCSANOW, &t);
        tcgetattr(slave, &initial);
        fflush(stdout);
        child = fork();
        if (child == 0) {
            dup2(slave, 0);
            dup2(slave, 1);
            close(master);
            close(slave);
            int code = body();
            fflush(stdout);
            _exit(code);
        }
    }
    ~PtySession() {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }

    // Reads what is there, waiting at most timeout_ms for the first byte.
    void pump(int timeout_ms) {
        pollfd p = {master, POLLIN, 0};
        while (poll(&p, 1, timeout_ms) > 0) {
            char buf[512];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) return;
            output.append(buf, n);
            timeout_ms = 0;
        }
    }

    // Waits until the output (from offset from) contains text.
    bool expect(const std::string& text, int timeout_ms = 5000, size_t from = 0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (output.find(text, from) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            pump(50);
        }
        return true;
    }

    void send(const std::string& keys) {
        ssize_t n = write(master, keys.data(), keys.size());
        (void)n;
    }

    termios attributes() const {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }

    // Waits for the child's end (at most timeout_ms) and collects the rest
    // of its output; the raw wait status, or -1 on a timeout.
    int finish(int timeout_ms = 5000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        int status = -1;
        for (;;) {
            pump(20);
            pid_t r = waitpid(child, &status, WNOHANG);
            if (r == child) break;
            if (std::chrono::steady_clock::now() > end) return -1;
        }
        child = -1;
        pump(50);
        return status;
    }
};

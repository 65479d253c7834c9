#include "terminal_session.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr int WAIT_MILLISECONDS = 10000;

// Reads what the child has written within the time left. Returns false at
// the end of the child's output.
bool read_some(int master, std::string& output, int milliseconds) {
    pollfd p{master, POLLIN, 0};
    int ready = poll(&p, 1, milliseconds);
    if (ready <= 0) return true;
    char buffer[4096];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return errno == EINTR || errno == EAGAIN;
    output.append(buffer, static_cast<size_t>(n));
    return true;
}

void write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

TerminalSession run_on_terminal(const std::function<int()>& body,
                                const std::vector<TerminalStep>& steps,
                                const TerminalSetup& setup) {
    TerminalSession session;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        session.error = "openpty failed";
        return session;
    }
    if (setup.key_input) {
        termios attributes;
        tcgetattr(slave, &attributes);
        attributes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(slave, TCSANOW, &attributes);
    }
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        close(master);
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        close(slave);
        clearerr(stdin);
        if (setup.fully_buffered) setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
        int code = body();
        fflush(stdout);
        _exit(code);
    }
    close(slave);

    bool open = true;
    for (const TerminalStep& step : steps) {
        int waited = 0;
        while (open && !step.wait_for.empty() &&
               session.output.find(step.wait_for) == std::string::npos) {
            if (waited >= step.timeout_ms) {
                session.error = "timed out waiting for \"" + step.wait_for + "\"";
                break;
            }
            open = read_some(master, session.output, 100);
            waited += 100;
        }
        if (!session.error.empty()) break;
        if (step.action) step.action();
        write_all(master, step.keys);
    }
    int waited = 0;
    while (open && session.error.empty()) {
        if (waited >= WAIT_MILLISECONDS) {
            session.error = "the child did not end";
            break;
        }
        size_t before = session.output.size();
        open = read_some(master, session.output, 100);
        if (session.output.size() == before) waited += 100;
    }
    if (!session.error.empty()) kill(child, SIGKILL);
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && session.error.empty()) session.exit_code = WEXITSTATUS(status);
    return session;
}

LocalFlags local_flags_around(const std::function<void()>& body) {
    LocalFlags flags;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return flags;
    termios attributes;
    tcgetattr(slave, &attributes);
    flags.before = static_cast<unsigned>(attributes.c_lflag);
    flags.vmin_before = attributes.c_cc[VMIN];
    flags.vtime_before = attributes.c_cc[VTIME];
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        dup2(slave, STDIN_FILENO);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    tcgetattr(slave, &attributes);
    flags.after = static_cast<unsigned>(attributes.c_lflag);
    flags.vmin_after = attributes.c_cc[VMIN];
    flags.vtime_after = attributes.c_cc[VTIME];
    close(slave);
    close(master);
    return flags;
}

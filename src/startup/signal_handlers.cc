#include "startup/signal_handlers.h"

#include <errno.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "startup/process_state.h"

namespace {

void write_text(const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t n = write(1, text, left);
        if (n <= 0) return;
        text += n;
        left -= n;
    }
}

int unmount_target(const char* target) {
    return umount(target);
}

void restart_machine() {
    reboot(RB_AUTOBOOT);
}

const AbortActions machine_actions = {unmount_target, restart_machine};

void set_handler(int signal, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
}

}  // namespace

void install_signal_handlers() {
    set_handler(SIGINT, interrupt_handler, 0);
    set_handler(SIGPIPE, SIG_IGN, 0);
    set_handler(SIGCHLD, reap_child, SA_RESTART);
}

void interrupt_handler(int) {
    abort_installation(console_state(), machine_actions);
}

void reap_child(int) {
    // Signals of several ended children merge into one, hence the loop;
    // WNOHANG because a handler must not wait for a child still running.
    int saved_errno = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved_errno;
}

void abort_installation(ConsoleState* console, const AbortActions& actions) {
    if (abort_disarmed) return;
    write_text("\n\nInstallation aborted\n");
    write_text("Press ENTER to reboot\n");
    actions.unmount("/mnt/boot");
    actions.unmount("/mnt");
    actions.unmount("/floppy");
    // The wait for ENTER with read and write: a read that fails (also one
    // interrupted by a further signal) counts as the end of input.
    for (;;) {
        unsigned char c;
        if (read(0, &c, 1) != 1) break;
        if (c == '\n' || c == 255) break;
        write_text("\a");
    }
    if (console && console->raw == 1) {
        tcsetattr(0, TCSAFLUSH, &console->saved);
        console->raw = 0;
    }
    write_text("\e[?25h");
    actions.restart();
}

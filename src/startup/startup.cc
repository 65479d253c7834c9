#include "startup/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "console/console_state.h"
#include "startup/install_context.h"
#include "startup/kernel_modules.h"
#include "startup/mode_selection.h"
#include "startup/process_state.h"
#include "startup/signal_handlers.h"

namespace {

// The parent of the init fork: waits for the installer, nothing else.
int wait_for_installer(pid_t child) {
    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace

void choose_console(const char* virtual_console, const char* serial_port) {
    // A plain open: a stream opened for writing would create the device
    // file as an ordinary file on a writable root without it.
    int fd = open(virtual_console, O_WRONLY);
    if (fd >= 0) {
        close(fd);
        return;
    }
    strcpy(log_terminal, "/dev/null");
    // Nothing to be done if these fail: there is no other console.
    if (!freopen(serial_port, "r", stdin)) {
    }
    if (!freopen(serial_port, "w", stdout)) {
    }
    if (!freopen(serial_port, "w", stderr)) {
    }
}

int run_installer(int argc, char** argv) {
    if (argc > 0 && strstr(argv[0], "init")) {
        pid_t child = fork();
        if (child > 0) return wait_for_installer(child);
    }
    choose_console("/dev/tty0", "/dev/ttyS0");
    set_console_state(new ConsoleState{});
    install_signal_handlers();
    load_modules(kernel_modules);

    InstallContext ctx;
    init_install_context(ctx);
    select_mode(ctx, argc, argv);

    leave_raw_mode(*console_state());
    puts("");
    puts("Rebooting...");
    fflush(stdout);
    reboot(RB_AUTOBOOT);
    return 0;
}

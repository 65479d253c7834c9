#pragma once
#include "console/console_state.h"

// SIGINT to interrupt_handler (no flags), SIGPIPE ignored, SIGCHLD to
// reap_child (SA_RESTART); each with an empty mask.
void install_signal_handlers();

// The SIGINT handler: the abort of a running installation (see
// abort_installation), on the process-wide console.
void interrupt_handler(int signal);

// The SIGCHLD handler: collects every child that has ended, without
// blocking. It cannot take the status of a child that a runner of
// console/child_process.h waits for, because the runners keep SIGCHLD
// blocked for as long as such a child exists.
void reap_child(int signal);

// The machine operations of an abort. interrupt_handler uses umount and the
// restart call; tests put in their own so that they never unmount or
// restart the machine they run on. Both must be async-signal-safe.
struct AbortActions {
    int (*unmount)(const char* target);
    void (*restart)();
};

// Does nothing once abort_disarmed is set. Otherwise prints
// "\n\nInstallation aborted\n" and "Press ENTER to reboot\n", unmounts
// /mnt/boot, /mnt and /floppy, waits for ENTER (or the end of input or a
// read error), leaves raw mode on console (may be null) and restarts. It
// runs inside a signal handler and therefore writes and reads descriptors
// 1 and 0 directly and uses no standard-I/O buffer.
void abort_installation(ConsoleState* console, const AbortActions& actions);

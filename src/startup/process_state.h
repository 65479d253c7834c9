#pragma once
#include <csignal>

// Where child programs' diagnostics and the installer's log lines go:
// "/dev/tty9", overwritten in place with "/dev/null" on a serial console.
extern char log_terminal[10];

// Set once the installation mode has returned (and by the network client
// after a successful installation); from then on SIGINT does nothing.
extern volatile sig_atomic_t abort_disarmed;

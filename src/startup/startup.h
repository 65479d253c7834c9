#pragma once

// The installer's run as the first process of the boot system: started
// with "init" in its name it forks, and the parent only waits for the child
// (returning the child's raw wait status, or -1). The child, or a process
// started by another name, chooses the console, creates the ConsoleState,
// installs the signal handlers, loads the media drivers, runs one
// installation mode and restarts the machine. Returns only in the parent or
// when the restart call fails (then 0).
int run_installer(int argc, char** argv);

// Keeps the standard streams when virtual_console opens for writing.
// Otherwise the console is the serial port: log_terminal becomes
// "/dev/null" and standard input, output and error are reopened on
// serial_port.
void choose_console(const char* virtual_console, const char* serial_port);

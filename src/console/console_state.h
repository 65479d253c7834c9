#pragma once
#include <termios.h>

#include <cstdint>

// The saved terminal attributes of standard input and the raw-mode flag;
// one per process, created at start-up.
struct ConsoleState {
    termios saved;
    int32_t raw;
};

// The process-wide instance (null before start-up created it).
ConsoleState* console_state();
void set_console_state(ConsoleState* console);

void enter_raw_mode(ConsoleState& console);
void leave_raw_mode(ConsoleState& console);
bool ask_yes_no(ConsoleState& console, const char* question);
void wait_for_key(ConsoleState& console, int key);

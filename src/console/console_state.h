#pragma once
#include <termios.h>

#include <cstdint>

// The saved terminal attributes of standard input and the raw-mode flag;
// one per process, created at start-up.
struct ConsoleState {
    termios saved;  // attributes of descriptor 0 when raw mode was entered
    int32_t raw;    // 1 while raw mode is on
};

// The process-wide instance (null before start-up created it).
ConsoleState* console_state();
void set_console_state(ConsoleState* console);

// Key-at-a-time input without echo; signal keys and input translations
// (carriage return to newline) stay as they are. A second call does nothing.
void enter_raw_mode(ConsoleState& console);

// Restores the saved attributes if raw mode is on; always shows the cursor.
void leave_raw_mode(ConsoleState& console);

// "question [y/n]:"; y or Y is true, n or N (and the end of input) false,
// any other key rings the bell.
bool ask_yes_no(ConsoleState& console, const char* question);

// Returns when key or the end of input arrives; other keys ring the bell.
void wait_for_key(ConsoleState& console, int key);

#include "console/console_state.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>

namespace {
ConsoleState* process_console = nullptr;

void ring_bell() {
    putchar('\a');
    fflush(stdout);
}
}  // namespace

ConsoleState* console_state() {
    return process_console;
}

void set_console_state(ConsoleState* console) {
    process_console = console;
}

void enter_raw_mode(ConsoleState& console) {
    if (console.raw == 1) return;
    tcgetattr(0, &console.saved);
    termios raw = console.saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(0, TCSAFLUSH, &raw);
    console.raw = 1;
}

void leave_raw_mode(ConsoleState& console) {
    if (console.raw == 1) {
        tcsetattr(0, TCSAFLUSH, &console.saved);
        console.raw = 0;
    }
    printf("\e[?25h");
}

bool ask_yes_no(ConsoleState&, const char* question) {
    printf("%s [y/n]:", question);
    fflush(stdout);
    for (;;) {
        int c = getchar();
        // The end of input counts as n, as wait_for_key takes it for the
        // awaited key: a prompt that nobody can answer must not spin.
        if (c == EOF) c = 'n';
        if (isalpha(c)) {
            int lower = tolower(c);
            if (lower == 'y' || lower == 'n') {
                printf("%c\n", lower);
                fflush(stdout);
                return lower == 'y';
            }
        }
        ring_bell();
    }
}

void wait_for_key(ConsoleState&, int key) {
    for (;;) {
        int c = getchar();
        if (c == key || (c & 0xff) == 255) return;
        ring_bell();
    }
}

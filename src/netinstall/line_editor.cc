#include "netinstall/line_editor.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "console/console_state.h"
#include "packages/screen_control.h"

namespace {

constexpr int BACKSPACE = 127;
// What ask_address types into.
constexpr size_t ADDRESS_SIZE = 20;

}  // namespace

bool edit_line(const char* prompt, const char* proposed, char* output, size_t size) {
    if (size == 0) return true;
    clear_line();
    printf("\r%s: ", prompt);
    char text[256];
    if (size > sizeof text) size = sizeof text;
    memset(text, 0, size);
    size_t position = 0;
    bool marked = false;
    if (proposed != nullptr) {
        set_attributes(ATTR_REVERSE);
        fputs(proposed, stdout);
        set_attributes(0);
        strncpy(text, proposed, size - 1);
        marked = true;
    }
    hide_cursor(false);
    fflush(stdout);
    for (;;) {
        int c = getchar();
        if (c == '\n' || c == EOF) {
            if (marked) printf("\r%s: %s", prompt, text);
            memcpy(output, text, size);
            output[size - 1] = '\0';
            hide_cursor(true);
            fflush(stdout);
            return c != EOF;
        }
        if (c == BACKSPACE) {
            // Only what was typed goes back; the proposed text stays whole.
            if (position > 0) {
                text[--position] = '\0';
                clear_line();
                printf("\r%s: %s", prompt, text);
            }
        } else if (marked) {
            clear_line();
            memset(text, 0, size);
            text[0] = static_cast<char>(c);
            position = 1;
            marked = false;
            printf("\r%s: %s", prompt, text);
        } else if (strlen(text) < size - 1) {
            text[position++] = static_cast<char>(c);
            putchar(c);
        }
        fflush(stdout);
    }
}

bool ask_address(const char* prompt, in_addr& address) {
    char text[ADDRESS_SIZE];
    for (;;) {
        bool more = edit_line(prompt, nullptr, text, sizeof text);
        if (inet_aton(text, &address) != 0) return true;
        if (!more) return false;
    }
}

bool ask_yes_no_with_cursor(const char* question) {
    hide_cursor(false);
    // The question itself is the console's: it reads keys and leaves the
    // terminal's attributes alone, so any state record serves.
    ConsoleState console{};
    bool yes = ask_yes_no(console, question);
    hide_cursor(true);
    fflush(stdout);
    return yes;
}

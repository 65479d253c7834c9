#include "packages/screen_control.h"

#include <cstdio>
#include <cstring>
#include <string>

void move_cursor(uint8_t column, uint8_t row) {
    printf("\033[%d;%dH", row, column);
}

void clear_screen() {
    fputs("\033[2J\033[H", stdout);
}

void hide_cursor(bool hidden) {
    fputs(hidden ? "\033[?25l" : "\033[?25h", stdout);
}

void clear_line() {
    fputs("\033[2K", stdout);
}

void set_attributes(int flags) {
    fputs("\033[m", stdout);
    if (flags & ATTR_UNDERLINE) fputs("\033[4m", stdout);
    if (flags & ATTR_REVERSE) fputs("\033[7m", stdout);
    if (flags & ATTR_BLINK) fputs("\033[5m", stdout);
    if (flags & ATTR_BOLD) fputs("\033[1m", stdout);
}

void print_line(const char* text, int length, bool centred) {
    if (centred) {
        for (int i = (SCREEN_COLUMNS - length) / 2; i > 0; --i) putchar(' ');
    }
    if (length > 0) fwrite(text, 1, static_cast<size_t>(length), stdout);
    putchar('\n');
}

void print_lines(const char* text, bool centred) {
    for (;;) {
        const char* end = strchr(text, '\n');
        if (end == nullptr) {
            print_line(text, static_cast<int>(strlen(text)), centred);
            return;
        }
        print_line(text, static_cast<int>(end - text), centred);
        text = end + 1;
    }
}

void print_wrapped(const char* text, bool centred) {
    std::string line;
    const char* p = text;
    for (;;) {
        while (*p == ' ' || *p == '\n') ++p;
        if (*p == '\0') break;
        const char* word = p;
        while (*p != '\0' && *p != ' ' && *p != '\n') ++p;
        size_t length = static_cast<size_t>(p - word);
        if (length + line.size() + 1 > WRAP_COLUMNS) {
            print_line(line.data(), static_cast<int>(line.size()), centred);
            line.clear();
        }
        line.append(word, length);
        line.push_back(' ');
    }
    print_line(line.data(), static_cast<int>(line.size()), centred);
}

// Screen control for the 80-column console: cursor moves, clearing,
// character attributes and the line printers of the menus and prompts.
// Everything is written to standard output with ANSI sequences.
#pragma once

#include <cstdint>

// Attribute flags for set_attributes; 0 is plain text.
constexpr int ATTR_UNDERLINE = 1;
constexpr int ATTR_REVERSE = 2;
constexpr int ATTR_BLINK = 4;
constexpr int ATTR_BOLD = 8;

// The width the line printers centre on.
constexpr int SCREEN_COLUMNS = 80;

// The longest line print_wrapped builds, its last word's space included.
constexpr int WRAP_COLUMNS = 78;

// Moves the cursor: "\e[row;columnH". Rows count from 1 at the top.
void move_cursor(uint8_t column, uint8_t row);

// Clears the screen and puts the cursor at the top left corner.
void clear_screen();

void hide_cursor(bool hidden);

// Clears the cursor's line; the cursor stays where it is.
void clear_line();

// Resets the attributes, then switches on those in flags (ATTR_*).
void set_attributes(int flags);

// Prints exactly length bytes of text and a newline; centred, the text is
// preceded by (80 - length) / 2 spaces.
void print_line(const char* text, int length, bool centred);

// Prints every newline-separated piece of text as a line of its own,
// including the (possibly empty) piece after the last newline.
void print_lines(const char* text, bool centred);

// Prints text word-wrapped into lines of at most 78 characters. Spaces and
// newlines only separate words. A word longer than 77 characters gets a
// line of its own, uncut. The last line is printed even when it is empty.
void print_wrapped(const char* text, bool centred);

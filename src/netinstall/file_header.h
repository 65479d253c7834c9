// The text of a file-header message: "FILE", the file's name and its size
// in decimal, each on a line of its own.
#pragma once

#include <cstdint>

// The receiver keeps at most 79 characters of a name, and the terminator.
constexpr int FILE_NAME_SIZE = 80;

// Writes "FILE\nname\nsize\n" into text (size bytes, always terminated);
// the length written, or -1 when it does not fit.
int format_file_header(char* text, int text_size, const char* name, int file_size);

// Reads a file header's payload of length bytes: "FILE" at the start, the
// name on the second line (cut to 79 characters) and a size of decimal
// digits that fits an int on the third, both lines ended by a line feed.
bool parse_file_header(const uint8_t* payload, int length, char* name, int& size);

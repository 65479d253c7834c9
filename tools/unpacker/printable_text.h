// Names and paths from a package as they may be shown on a console or kept
// in a text file: every byte that is not printable ASCII becomes an escape,
// so no name or path can end a line, move the cursor or start a terminal
// sequence, and a NUL byte shows instead of cutting the text short.
//
//   backslash  \\        newline  \n        tab  \t
//   any other byte below 0x20, 0x7F and every byte from 0x80: \xHH
#ifndef BRINDLEX_TOOLS_PRINTABLE_TEXT_H_
#define BRINDLEX_TOOLS_PRINTABLE_TEXT_H_

#include <cstddef>
#include <string>

// Appends the escaped form of the bytes to out.
void append_printable(std::string* out, const char* bytes, size_t length);

inline std::string printable_text(const char* bytes, size_t length) {
    std::string out;
    append_printable(&out, bytes, length);
    return out;
}

inline std::string printable_text(const std::string& text) {
    return printable_text(text.data(), text.size());
}

#endif  // BRINDLEX_TOOLS_PRINTABLE_TEXT_H_

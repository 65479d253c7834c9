#include "netinstall/screen_text.h"

void screen_text(const char* text, char* shown, size_t size) {
    if (size == 0) return;
    size_t i = 0;
    for (; text[i] != '\0' && i < size - 1; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        shown[i] = (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    }
    shown[i] = '\0';
}

#include "netinstall/file_header.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "netinstall/install_protocol.h"

int format_file_header(char* text, int text_size, const char* name, int file_size) {
    int length =
        snprintf(text, static_cast<size_t>(text_size), "%s\n%s\n%d\n", TAG_FILE, name, file_size);
    if (length < 0 || length >= text_size) return -1;
    return length;
}

bool parse_file_header(const uint8_t* payload, int length, char* name, int& size) {
    name[0] = '\0';
    size = 0;
    if (length < TAG_LENGTH || memcmp(payload, TAG_FILE, TAG_LENGTH) != 0) return false;
    const uint8_t* end = payload + length;
    auto line_end = [end](const uint8_t* from) {
        return static_cast<const uint8_t*>(memchr(from, '\n', static_cast<size_t>(end - from)));
    };
    const uint8_t* first = line_end(payload + TAG_LENGTH);
    if (first == nullptr) return false;
    const uint8_t* name_start = first + 1;
    const uint8_t* second = line_end(name_start);
    if (second == nullptr) return false;
    const uint8_t* size_start = second + 1;
    const uint8_t* third = line_end(size_start);
    if (third == nullptr || third == size_start) return false;

    long long value = 0;
    for (const uint8_t* p = size_start; p < third; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) return false;
    }
    size_t name_length = static_cast<size_t>(second - name_start);
    if (name_length > FILE_NAME_SIZE - 1) name_length = FILE_NAME_SIZE - 1;
    memcpy(name, name_start, name_length);
    name[name_length] = '\0';
    size = static_cast<int>(value);
    return true;
}

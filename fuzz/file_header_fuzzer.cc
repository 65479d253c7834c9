// The payload of a file-header message from the server, as the client
// reads it: the name is always terminated within its 80 bytes, the size is
// never negative, and a header read back from what the sender would write
// for the same name and size gives the same name and size.
#include <cstdint>
#include <cstring>
#include <vector>

#include "netinstall/file_header.h"
#include "netinstall/install_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MAX_BLOCK) size = MAX_BLOCK;
    std::vector<uint8_t> payload(data, data + size);
    char name[FILE_NAME_SIZE];
    memset(name, 'x', sizeof name);
    int file_size = -1;
    if (!parse_file_header(payload.data(), static_cast<int>(size), name, file_size)) return 0;
    size_t name_length = strnlen(name, sizeof name);
    if (name_length >= FILE_NAME_SIZE) __builtin_trap();
    if (file_size < 0) __builtin_trap();
    if (memchr(name, '\n', name_length) != nullptr) __builtin_trap();

    char text[MAX_BLOCK + 1];
    int length = format_file_header(text, sizeof text, name, file_size);
    if (length < 0) __builtin_trap();
    char again[FILE_NAME_SIZE];
    int size_again = -1;
    if (!parse_file_header(reinterpret_cast<uint8_t*>(text), length, again, size_again))
        __builtin_trap();
    if (size_again != file_size || strlen(again) != name_length ||
        memcmp(again, name, name_length) != 0)
        __builtin_trap();
    return 0;
}

#include "netinstall/disk_label.h"

#include <sys/mount.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

const char FLOPPY_DEVICE[] = "/dev/fd0";
const char FLOPPY_MOUNT_POINT[] = "/floppy";
const char LABEL_FILE[] = "/floppy/label.txt";

// Keeps letters, digits and punctuation of the C locale, in their order.
void keep_visible_characters(char* label) {
    char* out = label;
    for (const char* in = label; *in != '\0'; ++in) {
        unsigned char c = static_cast<unsigned char>(*in);
        if (isalnum(c) || ispunct(c)) *out++ = *in;
    }
    *out = '\0';
}

}  // namespace

void label_from_file(const char* path, char* label, size_t size) {
    if (size == 0) return;
    label[0] = '\0';
    FILE* file = path != nullptr ? fopen(path, "r") : nullptr;
    if (file != nullptr) {
        if (fgets(label, static_cast<int>(size), file) == nullptr) label[0] = '\0';
        fclose(file);
        keep_visible_characters(label);
    }
    if (label[0] == '\0') {
        strncpy(label, DEFAULT_DISK_LABEL, size - 1);
        label[size - 1] = '\0';
    }
}

void read_disk_label(char* label, size_t size) {
    bool mounted = mount(FLOPPY_DEVICE, FLOPPY_MOUNT_POINT, "vfat", 0, nullptr) == 0;
    label_from_file(mounted ? LABEL_FILE : nullptr, label, size);
    if (mounted) umount(FLOPPY_MOUNT_POINT);
}

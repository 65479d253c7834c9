// The disk label a router announces itself with, so that the operator of
// the installation server can tell routers apart: the first line of
// "label.txt" on a FAT floppy in the first floppy drive.
#pragma once

#include <cstddef>

// Size of the label text, terminator included (at most 31 characters).
constexpr size_t DISK_LABEL_SIZE = 32;

// The label of a router without a floppy, without "label.txt", or whose
// first line holds nothing that is kept.
constexpr char DEFAULT_DISK_LABEL[] = "brindlex";

// Mounts the first floppy drive on "/floppy" (vfat), takes the label from
// "/floppy/label.txt" and unmounts it again. Always leaves a terminated,
// non-empty text in label (size bytes, at least 2).
void read_disk_label(char* label, size_t size);

// The label from the first line of the file at path (or none when path is
// null or the file cannot be read): at most size - 1 characters are read,
// then every character that is neither a letter, a digit nor punctuation
// is dropped (blanks, tabs, the line end, control characters and bytes
// above 127); DEFAULT_DISK_LABEL when nothing is left.
void label_from_file(const char* path, char* label, size_t size);

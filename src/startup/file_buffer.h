// A whole file held in memory: the hard-disk image installation reads every
// package and the script off the volume before it repartitions the disk
// the volume lives on.
#pragma once

#include <cstddef>
#include <cstdint>

// One file's bytes and a read position. A cleared buffer has size 0,
// position 0 and no data.
struct FileBuffer {
    uint32_t size = 0;              // bytes in data (the file's size)
    uint32_t position = 0;          // next byte take_bytes delivers
    unsigned char* data = nullptr;  // owned; null when size is 0 or cleared
};

// Reads the whole file at path into buffer (which must be cleared). False,
// with the buffer cleared, when the file cannot be opened or sized, is
// larger than a 32-bit size, memory cannot be had, or a read fails or ends
// before size bytes. An empty file gives a buffer of size 0 without data.
bool read_whole_file(FileBuffer& buffer, const char* path);

// Copies up to maximum bytes from the read position into destination and
// advances the position; 0 at the end.
size_t take_bytes(FileBuffer& buffer, void* destination, size_t maximum);

// Frees the data and clears the buffer.
void release_buffer(FileBuffer& buffer);

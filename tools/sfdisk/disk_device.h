#pragma once
#include <cstddef>
#include <cstdint>

#include "partition_table.h"

// An open disk: an IDE block device or, for tests and image building, a
// plain image file.
struct DiskDevice {
    int fd;
    bool is_block_device;
    DiskGeometry geometry;
};

// Opens the device and learns its geometry. A block device reports heads
// and sectors per track through HDIO_GETGEO and its size through
// BLKGETSIZE64 (the kernel's own cylinder count is only 16 bits wide, so
// cylinders are computed from the size). A plain file has no geometry of
// its own: it gets 255 heads and 63 sectors per track and its file size.
// On failure writes the reason into error and returns false.
bool open_disk_device(const char* path, bool writable, DiskDevice& disk, char* error,
                      size_t error_size);

void close_disk_device(DiskDevice& disk);

// Reads or writes the 512-byte master boot record (sector 0).
bool read_boot_record(DiskDevice& disk, uint8_t sector[512], char* error, size_t error_size);
bool write_boot_record(DiskDevice& disk, const uint8_t sector[512], char* error, size_t error_size);

// Asks the kernel to re-read the partition table of a block device; a plain
// file needs nothing and succeeds.
bool reread_partition_table(DiskDevice& disk, char* error, size_t error_size);

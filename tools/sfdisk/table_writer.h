#pragma once
#include <cstddef>
#include <cstdint>

#include "disk_device.h"

// How writing a new partition table ended.
enum class TableWrite {
    WRITTEN,  // the new table is on the disk
    REFUSED,  // the input is no table for this disk; the disk is as it was
    FAILED,   // reading or writing the disk failed
};

// Writes the table that the tool's input describes (parse_partition_input)
// into the disk's master boot record, keeping bytes 0 to 445 (the boot
// program), and asks the kernel to re-read it. `sector` receives the
// master boot record as written. The reason for anything but WRITTEN goes
// into error.
TableWrite write_partition_input(DiskDevice& disk, const char* input, size_t length,
                                 uint8_t sector[512], char* error, size_t error_size);

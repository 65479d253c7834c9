#pragma once
#include <cstdint>

// One hard disk and the layout chosen for it.
struct DiskInfo {
    char device[32];              // "/dev/hda", NUL-padded
    uint32_t cylinders;           // from the geometry report
    uint32_t bytes_per_cylinder;  // heads * sectors per track * 512
    bool has_boot_partition;      // two-partition layout: cylinders >= 1024
    bool use_journal;             // ext3 root: disk larger than 40 MiB
};

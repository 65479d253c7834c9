#pragma once
#include "disk/disk_info.h"
#include "floppy/floppy_header.h"

// The record handed from start-up to the installation mode and on to the
// disk and floppy operations. One lives in the entry point for the whole run.
struct InstallContext {
    FloppyHeader floppy_header;  // header of the floppy read last
    DiskInfo disk;               // the target disk, filled by detect_disk
};

// All zero except floppy_header.part_count = 1; the disk cleared.
void init_install_context(InstallContext& ctx);

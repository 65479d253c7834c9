#pragma once
#include "disk/disk_info.h"

// Mounts the root file system of an installed system found on disk at
// target and, when with_boot is set and the system has two partitions, its
// boot partition at target/boot. The layout is taken from what mounts.
bool mount_system(const DiskInfo& disk, const char* target, bool with_boot);

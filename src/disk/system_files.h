#pragma once
#include "disk/disk_info.h"

// Writes root/etc/lilo.conf for the disk's layout. False when the file
// cannot be created or does not reach the disk whole.
bool write_lilo_conf(const DiskInfo& disk, const char* root);

// Writes root/etc/fstab for the disk's layout and, on a journalled system,
// the empty marker root/.nofsck. False when the table cannot be created
// or does not reach the disk whole.
bool write_fstab(const DiskInfo& disk, const char* root);

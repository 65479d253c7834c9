// The hard-disk image installation: the installation material lies on a
// FAT volume that spans a whole IDE disk (no partition table). Everything
// on it is read into memory, then the same disk is repartitioned and
// filled. Without "CHOOSE" on the volume it runs unattended.
#pragma once

#include <cstdint>

// The devices probed for the volume, in order.
extern const char* const IMAGE_DISK_DEVICES[4];

// Packages the installation holds in memory at most.
constexpr int PACKAGE_TABLE_SIZE = 50;

// Mounts the first of IMAGE_DISK_DEVICES that mounts as vfat (read-write)
// on the medium's mount point; returns that device, or null.
const char* mount_image_volume();

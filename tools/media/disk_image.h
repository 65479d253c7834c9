// The disk image builder: a self-installing disk image for a router's disk
// or flash card. One FAT volume spans the whole device (no partition
// table); syslinux makes it boot the boot system with "-hdd-install", and
// the installer then installs the volume's packages onto that same disk,
// destroying the volume.
#pragma once

#include <cstdint>
#include <string>

#include "media_builder.h"

// What goes onto the image.
struct DiskImageRequest {
    std::string packages;   // directory of *.vpk files and an optional "defpacks"
    std::string bootsys;    // directory holding vmlinuz and initrd.gz
    std::string output;     // the image to write
    uint64_t size_mib = 0;  // size of the image (and of the volume)
    std::string script;     // becomes "autorun.scr"
    std::string mbr;        // becomes "mbr" (unattended); empty with choose
    bool choose = false;    // "CHOOSE" instead of "mbr": the menu
    MediaArguments media;   // boot menu options
};

// The kernel words of the hard-disk image installation.
constexpr const char* IMAGE_MODE_WORDS = "brindlex.arg=-hdd-install";

// The memory a PC needs to install a volume, in MiB: what the boot system
// and the installer take before the volume is read (measured on the test
// PC, see bench/image_memory), plus everything the installation holds at
// once, the packages and the script.
constexpr uint64_t IMAGE_INSTALL_BASE_MIB = 60;
uint64_t memory_needed_mib(uint64_t held_bytes);

// Writes the image; false with the reason in error (and no image written).
// Warnings go to warnings; memory_mib is what the installing PC needs (0
// for a boot image of another mode, media.boot_only: the boot system alone,
// without packages, script, "mbr" or "CHOOSE").
bool make_disk_image(const DiskImageRequest& request, std::string& warnings, uint64_t& memory_mib,
                     std::string& error);

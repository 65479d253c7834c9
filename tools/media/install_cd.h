// The installation CD builder: an ISO 9660 image that a PC's BIOS boots
// (El Torito, no emulation, with the boot loader from Debian's isolinux)
// into the boot system, which starts the installer's CD-ROM installation.
#pragma once

#include <string>

#include "media_builder.h"

// What goes onto the CD.
struct InstallCdRequest {
    std::string packages;  // directory of *.vpk files and an optional "defpacks"
                           // (none with media.boot_only)
    std::string bootsys;   // directory holding vmlinuz and initrd.gz
    std::string output;    // the image to write
    MediaArguments media;  // boot menu options
};

// The kernel words of the CD-ROM installation: /TYPE holds "cdrom".
constexpr const char* CDROM_MODE_WORDS = "brindlex.type=cdrom%0A";

// Where Debian's isolinux keeps the files the CD needs.
constexpr const char* ISOLINUX_BIN = "/usr/lib/ISOLINUX/isolinux.bin";
constexpr const char* LDLINUX_C32 = "/usr/lib/syslinux/modules/bios/ldlinux.c32";

// Writes the image; false with the reason in error (and no image written).
// Warnings (dependencies without a package) go to the caller in warnings.
bool make_install_cd(const InstallCdRequest& request, std::string& warnings, std::string& error);

// The network boot image: a TFTP tree from which a PC's network card (PXE)
// boots the boot system with Debian's pxelinux, straight into the
// installer's network installation.
#pragma once

#include <string>

#include "media_builder.h"

// What goes into the tree.
struct NetbootRequest {
    std::string bootsys;   // directory holding vmlinuz and initrd.gz
    std::string output;    // the folder to write (must not exist, or be empty)
    MediaArguments media;  // boot menu options
};

// Where Debian's pxelinux keeps its loader; the loader's library is the
// one the CD carries (LDLINUX_C32).
constexpr const char* PXELINUX_0 = "/usr/lib/PXELINUX/pxelinux.0";

// The loader's name in the tree, the file a DHCP answer names.
constexpr const char* NETBOOT_LOADER = "pxelinux.0";

// Writes the tree: pxelinux.0, ldlinux.c32, boot/vmlinuz, boot/initrd.gz
// and pxelinux.cfg/default (the boot menu). False with the reason in error,
// and nothing written.
bool make_netboot_tree(const NetbootRequest& request, std::string& error);

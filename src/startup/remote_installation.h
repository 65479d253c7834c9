// The remote-router branch of the menu-driven installations (CD-ROM and
// hard-disk image with the menu): the operator left the package menu with
// 'r' to install another router over the network.
#pragma once

#include "packages/package_menu.h"

// How one pass through the remote branch ended.
enum class RemoteResult {
    BACK_TO_MENU,  // no router picked, or a router installed
    FAILED,        // a router was picked and its installation failed
};

// Lists the routers on the network and, when the operator picks one,
// installs it with the packages of the menu's current selection.
RemoteResult install_remote_router(PackageMenu& menu);

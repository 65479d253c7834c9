#include "startup/remote_installation.h"

#include <cstdio>

#include "netinstall/router_installation.h"
#include "netinstall/router_installer.h"
#include "netinstall/router_selection.h"
#include "packages/install_order.h"

RemoteResult install_remote_router(PackageMenu& menu) {
    RouterInstaller installer;
    open_router_installer(installer);
    RemoteResult result = RemoteResult::BACK_TO_MENU;
    if (select_router(installer)) {
        // A fresh order of the current selection for every remote
        // installation; like the catalogue, it lives until the restart.
        InstallOrder* order = new InstallOrder;
        if (!build_install_order(*order, menu)) {
            puts("\nERROR: not enough memory for the installation order");
            fflush(stdout);
            result = RemoteResult::FAILED;
        } else if (!install_router(installer, *order)) {
            result = RemoteResult::FAILED;
        }
    }
    close_router_installer(installer);
    return result;
}

#include "startup/remote_installation.h"

#include <cstdio>

#include "netinstall/router_installation.h"
#include "netinstall/router_installer.h"
#include "netinstall/router_selection.h"
#include "packages/install_order.h"
#include "startup/kernel_modules.h"

namespace {

// The network drivers are modules of the boot system, which start-up does
// not load: without them the server would find no interface. They are
// loaded on the first 'r' only, so a local installation never waits for
// them. The workstation build (its tests) leaves the kernel alone.
void load_network_drivers_once() {
#ifndef BRINDLEX_HOST_BUILD
    static bool loaded = false;
    if (loaded) return;
    load_modules(network_modules);
    loaded = true;
#endif
}

}  // namespace

RemoteResult install_remote_router(PackageMenu& menu) {
    load_network_drivers_once();
    RouterInstaller installer;
    open_router_installer(installer);
    RemoteResult result = RemoteResult::BACK_TO_MENU;
    if (select_router(installer)) {
        // A fresh order of the current selection for every remote
        // installation; like the catalogue, it lives until the restart.
        InstallOrder* order = new InstallOrder;
        if (!build_install_order(*order, menu)) {
            puts("\nFATAL ERROR: not enough memory for the installation order");
            fflush(stdout);
            result = RemoteResult::FAILED;
        } else if (!install_router(installer, *order)) {
            result = RemoteResult::FAILED;
        }
    }
    close_router_installer(installer);
    return result;
}

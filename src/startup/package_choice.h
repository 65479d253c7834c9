// The package menu of the menu-driven installations (CD-ROM, and the
// hard-disk image with "CHOOSE"), run until the operator installs this
// machine or cancels; 'r' installs another router on the way.
#pragma once

#include "packages/package_menu.h"

// What a failed remote router installation does to the installation.
enum class RemoteFailure {
    BACK_TO_MENU,      // the CD-ROM installation shows the menu again
    ENDS_INSTALLATION  // the hard-disk image installation ends
};

// Runs the menu until 'i' (true) or 'q' ("Installation canceled", false).
// Each 'r' runs the remote branch and then shows the menu again; a remote
// installation that fails ends it (false) where on_failure says so.
bool choose_local_packages(PackageMenu& menu, RemoteFailure on_failure);

#include "startup/package_choice.h"

#include <cstdio>

#include "startup/remote_installation.h"

bool choose_local_packages(PackageMenu& menu, RemoteFailure on_failure) {
    for (;;) {
        if (!run_package_menu(menu)) {
            puts("Installation canceled");
            fflush(stdout);
            return false;
        }
        if (!remote_chosen(menu)) return true;
        RemoteResult result = install_remote_router(menu);
        if (result == RemoteResult::FAILED && on_failure == RemoteFailure::ENDS_INSTALLATION) {
            return false;
        }
    }
}

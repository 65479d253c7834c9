#include "startup/remote_installation.h"

#include <cstdio>

// The installation server is not part of this build yet: the branch says
// so, and the mode that called it ends.
RemoteResult install_remote_router(PackageMenu&) {
    puts("\nFATAL ERROR: the remote router installation is not part of this build");
    fflush(stdout);
    return RemoteResult::UNAVAILABLE;
}

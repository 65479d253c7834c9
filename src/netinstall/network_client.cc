#include <cstdio>

#include "startup/modes.h"

// The network installation is not part of this build yet: it says so and
// fails, so that the machine restarts without touching the disk.
bool install_from_network(InstallContext&) {
    printf("\nFATAL ERROR: the network installation is not part of this build\n");
    fflush(stdout);
    return false;
}

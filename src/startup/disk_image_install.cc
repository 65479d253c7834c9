#include <cstdio>

#include "startup/modes.h"

// The hard-disk image installation is not part of this build yet: it says so and
// fails, so that the machine restarts without touching the disk.
bool install_from_disk_image(InstallContext&) {
    printf("\nFATAL ERROR: the hard-disk image installation is not part of this build\n");
    fflush(stdout);
    return false;
}

#include <cstdio>

#include "startup/modes.h"

// The floppy-set installation is not part of this build yet: it says so and
// fails, so that the machine restarts without touching the disk.
bool install_from_floppies(InstallContext&) {
    printf("\nFATAL ERROR: the floppy-set installation is not part of this build\n");
    fflush(stdout);
    return false;
}

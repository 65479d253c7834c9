#include <cstdio>

#include "startup/modes.h"

// The CD-ROM installation is not part of this build yet: it says so and
// fails, so that the machine restarts without touching the disk.
bool install_from_cdrom(InstallContext&) {
    printf("\nFATAL ERROR: the CD-ROM installation is not part of this build\n");
    fflush(stdout);
    return false;
}

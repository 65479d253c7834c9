#include "startup/mode_selection.h"

#include <sys/mount.h>

#include <cstdio>
#include <cstring>

#include "console/console_state.h"
#include "startup/modes.h"
#include "startup/process_state.h"

namespace {

bool run_mode(InstallMode mode, InstallContext& ctx) {
    switch (mode) {
        case InstallMode::DISK_IMAGE:
            return install_from_disk_image(ctx);
        case InstallMode::CDROM:
            return install_from_cdrom(ctx);
        case InstallMode::NETWORK:
            return install_from_network(ctx);
        case InstallMode::FLOPPIES:
            break;
    }
    return install_from_floppies(ctx);
}

}  // namespace

InstallMode choose_mode(const char* type, int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-hdd-install") == 0) return InstallMode::DISK_IMAGE;
    }
    if (strcmp(type, "cdrom") == 0) return InstallMode::CDROM;
    if (strcmp(type, "net") == 0) return InstallMode::NETWORK;
    return InstallMode::FLOPPIES;
}

bool waits_for_enter(InstallMode mode, bool succeeded) {
    switch (mode) {
        case InstallMode::DISK_IMAGE:
        case InstallMode::NETWORK:
            return !succeeded;
        case InstallMode::CDROM:
        case InstallMode::FLOPPIES:
            break;
    }
    return true;
}

void read_install_type(const char* path, char (&type)[80]) {
    memset(type, 0, sizeof type);
    FILE* file = fopen(path, "r");
    if (!file) return;
    if (!fgets(type, sizeof type, file)) type[0] = '\0';
    fclose(file);
    char* newline = strchr(type, '\n');
    if (newline) *newline = '\0';
}

void select_mode(InstallContext& ctx, int argc, char** argv) {
    mount("proc", "/proc", "proc", 0, nullptr);
    char type[80];
    read_install_type("/TYPE", type);
    InstallMode mode = choose_mode(type, argc, argv);
    bool succeeded = run_mode(mode, ctx);
    umount("/floppy");
    // A mode that failed after the new system was mounted leaves its boot
    // partition below "/mnt" in the two-partition layout: that comes off
    // first, or "/mnt" stays busy and its file system is never written out.
    umount("/mnt/boot");
    umount("/mnt");
    abort_disarmed = 1;
    if (waits_for_enter(mode, succeeded)) {
        puts("Press ENTER to reboot");
        fflush(stdout);
        wait_for_key(*console_state(), '\n');
    }
}

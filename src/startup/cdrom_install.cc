#include "startup/cdrom_install.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>

#include "console/dialogs.h"
#include "disk/disk_preparation.h"
#include "packages/install_order.h"
#include "packages/package_menu.h"
#include "startup/modes.h"
#include "startup/package_choice.h"
#include "startup/package_sending.h"

const char* const CDROM_DEVICES[4] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd"};

namespace {

// Left on the new system after the last package; its post-install script
// sees it, and it stays to tell that the system came from a CD-ROM.
const char* const CDROM_MARKER = "/mnt/CDINSTALL";

void say(const char* line) {
    puts(line);
    fflush(stdout);
}

// Every package of the selection, dependencies first, each into its own
// unpacker run.
bool install_selection(const PackageMenu& menu) {
    InstallOrder order;
    if (!build_install_order(order, menu)) {
        say("\nFATAL ERROR: not enough memory for the installation order");
        return false;
    }
    char path[PACKAGE_PATH_SIZE];
    while (next_package_path(order, path)) {
        if (!send_package_file(UNPACKER_PATH, path)) return false;
    }
    return true;
}

// Everything after the CD-ROM is mounted: the menu, the questions, the disk,
// the packages, the marker and the completion.
bool install_from_menu(InstallContext& ctx, PackageMenu& menu) {
    if (!scan_packages(menu, false)) return false;
    if (!choose_local_packages(menu, RemoteFailure::BACK_TO_MENU)) return false;
    bool keep = ask_keep_config();  // the question comes before the warning
    if (!confirm_erase()) return false;
    if (!prepare_disk(ctx, keep)) return false;
    puts("");
    if (!install_selection(menu)) return false;
    int marker = creat(CDROM_MARKER, 0600);
    if (marker >= 0) close(marker);
    if (!finish_installation(ctx)) return false;
    puts("");
    say("Software installed.");
    return true;
}

}  // namespace

bool mount_cdrom() {
    for (const char* device : CDROM_DEVICES) {
        if (mount(device, MEDIUM_MOUNT_POINT, "iso9660", MS_MGC_VAL | MS_RDONLY, nullptr) == 0) {
            return true;
        }
    }
    return false;
}

bool install_from_cdrom(InstallContext& ctx) {
    // No banner: the package menu draws the screen.
    if (!detect_disk(ctx)) return false;
    if (!mount_cdrom()) {
        say("\nFATAL ERROR: no CD-ROM found");
        return false;
    }
    PackageMenu menu;  // lives until the restart, like the catalogue it holds
    open_package_menu(menu, MEDIUM_MOUNT_POINT);
    bool installed = install_from_menu(ctx, menu);
    close_package_menu(menu);
    return installed;
}

#include "startup/disk_image_install.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "console/activity.h"
#include "console/dialogs.h"
#include "disk/boot_record.h"
#include "disk/disk_preparation.h"
#include "packages/install_order.h"
#include "packages/package_menu.h"
#include "startup/cdrom_install.h"
#include "startup/file_buffer.h"
#include "startup/memory_budget.h"
#include "startup/modes.h"
#include "startup/package_choice.h"
#include "startup/package_sending.h"

const char* const IMAGE_DISK_DEVICES[4] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd"};

namespace {

// Files of the volume, and the script's place on the new system.
const char* const CHOOSE_FILE = "/floppy/CHOOSE";
const char* const SCRIPT_FILE = "/floppy/autorun.scr";
const char* const MBR_FILE = "/floppy/mbr";
const char* const NEW_SCRIPT_FILE = "/mnt/autorun.scr";

// Everything the installation takes off the volume before the volume is
// destroyed: the packages (entry i holds the i-th package of the order),
// the script and, unattended, the new first sector.
struct ImageMaterial {
    FileBuffer packages[PACKAGE_TABLE_SIZE];
    FileBuffer script;
    unsigned char first_sector[SECTOR_SIZE];
};

void release_material(ImageMaterial& material) {
    for (FileBuffer& buffer : material.packages) release_buffer(buffer);
    release_buffer(material.script);
}

void say(const char* line) {
    puts(line);
    fflush(stdout);
}

bool can_read(const char* path) {
    FILE* file = fopen(path, "r");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

uint64_t file_size(const char* path) {
    struct stat status;
    return stat(path, &status) == 0 && status.st_size > 0 ? uint64_t(status.st_size) : 0;
}

// Refuses, before anything is read or written, an order the package table
// cannot hold, and packages and a script that do not fit in memory beside
// what the installation itself needs. The order is rewound.
bool material_fits(InstallOrder& order) {
    if (order.total > PACKAGE_TABLE_SIZE) {
        printf("\nFATAL ERROR: too many packages on the volume (%d, at most %d)\n", order.total,
               PACKAGE_TABLE_SIZE);
        fflush(stdout);
        return false;
    }
    uint64_t needed = file_size(SCRIPT_FILE);
    char path[PACKAGE_PATH_SIZE];
    while (next_package_path(order, path)) needed += file_size(path);
    order.position = 0;
    uint64_t available = available_memory();
    if (!fits_in_memory(needed, available)) {
        uint64_t usable =
            available > INSTALL_MEMORY_RESERVE ? available - INSTALL_MEMORY_RESERVE : 0;
        printf(
            "\nFATAL ERROR: not enough memory for the packages and the script "
            "(%" PRIu64 " KiB needed, %" PRIu64 " KiB free)\n",
            (needed + 1023) >> 10, usable >> 10);
        fflush(stdout);
        return false;
    }
    return true;
}

// Reads every package of the order into the table, then the script and,
// unattended, the first 512 bytes of "mbr". Leaves the order rewound.
bool load_material(InstallOrder& order, ImageMaterial& material, bool choose_mode) {
    char path[PACKAGE_PATH_SIZE];
    char name[PACKAGE_NAME_BUFFER];
    for (int i = 0; next_package_path(order, path); ++i) {
        current_package_name(order, name);
        printf("Reading: %s...", name);
        start_activity("");  // dots only
        bool read = read_whole_file(material.packages[i], path);
        stop_activity();
        if (!read) {
            printf("\nFATAL ERROR: could not read file %s\n", path);
            fflush(stdout);
            return false;
        }
    }
    if (!read_whole_file(material.script, SCRIPT_FILE)) {
        say("\nFATAL ERROR: could not read configuration");
        return false;
    }
    order.position = 0;  // the second pass delivers the same packages
    if (choose_mode) return true;
    int fd = open(MBR_FILE, O_RDONLY);
    if (fd < 0) {
        say("\nFATAL ERROR: Couldn't open mbr file");
        return false;
    }
    size_t got = 0;
    while (got < sizeof material.first_sector) {
        ssize_t n = read(fd, material.first_sector + got, sizeof material.first_sector - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    close(fd);
    if (got != sizeof material.first_sector) {
        say("\nFATAL ERROR: Couldn't read mbr file");
        return false;
    }
    return true;
}

// Writes the new first sector over the start of the image device. Its
// contents are not examined.
bool write_first_sector(const char* device, const unsigned char* sector) {
    int fd = open(device, O_WRONLY);
    if (fd < 0) {
        say("\nFATAL ERROR: Couldn't open disk");
        return false;
    }
    ssize_t put = write(fd, sector, SECTOR_SIZE);
    // On the disk only once fsync says so: a failing disk shows there.
    bool closed = fsync(fd) == 0;
    closed = close(fd) == 0 && closed;
    if (put != SECTOR_SIZE || !closed) {
        say("\nFATAL ERROR: Couldn't write to disk");
        return false;
    }
    return true;
}

// The script on the new system, byte for byte (an empty one as an empty
// file).
bool write_script(const FileBuffer& script) {
    FILE* file = fopen(NEW_SCRIPT_FILE, "w");
    if (file == nullptr) {
        say("\nFATAL ERROR: couldn't make script");
        return false;
    }
    bool written = script.size == 0 || fwrite(script.data, script.size, 1, file) == 1;
    if (fclose(file) != 0) written = false;
    if (!written) {
        say("\nFATAL ERROR: Writing configuration failed");
        return false;
    }
    return true;
}

// From the loaded material to the installed disk: the first sector
// (unattended), the disk prepared, the packages from memory, the script,
// the completion.
bool install_material(InstallContext& ctx, const char* device, InstallOrder& order,
                      ImageMaterial& material, bool choose_mode) {
    // Nothing more is read from the volume: every file the mode needs is in
    // memory. A volume that stayed mounted would write its state back over
    // the new disk later.
    if (umount(MEDIUM_MOUNT_POINT) != 0) {
        say("\nFATAL ERROR: Couldn't unmount the installation volume");
        return false;
    }
    if (!choose_mode && !write_first_sector(device, material.first_sector)) return false;
    if (!detect_disk(ctx)) return false;
    if (!prepare_disk(ctx, false)) return false;  // no questions in this mode
    puts("");
    char path[PACKAGE_PATH_SIZE];
    for (int i = 0; next_package_path(order, path); ++i) {
        if (!send_package_buffer(UNPACKER_PATH, material.packages[i])) return false;
    }
    if (!write_script(material.script)) return false;
    if (!finish_installation(ctx)) return false;
    puts("");
    say("Software installed.");
    sleep(2);
    return true;
}

// The packages to install: chosen in the menu ("CHOOSE" on the volume), or
// every package of the volume. False when the installation ends here.
bool order_packages(PackageMenu& menu, InstallOrder& order, bool choose_mode) {
    if (choose_mode) {
        open_package_menu(menu, MEDIUM_MOUNT_POINT);
        bool chosen = scan_packages(menu, false) &&
                      choose_local_packages(menu, RemoteFailure::ENDS_INSTALLATION);
        close_package_menu(menu);
        if (!chosen) return false;
    } else {
        init_package_list(menu, MEDIUM_MOUNT_POINT);  // the terminal is not touched
        if (!scan_packages(menu, true)) return false;
    }
    if (!build_install_order(order, menu)) {
        say("\nFATAL ERROR: not enough memory for the installation order");
        return false;
    }
    return true;
}

}  // namespace

const char* mount_image_volume() {
    for (const char* device : IMAGE_DISK_DEVICES) {
        if (mount(device, MEDIUM_MOUNT_POINT, "vfat", 0, nullptr) == 0) return device;
    }
    return nullptr;
}

bool install_from_disk_image(InstallContext& ctx) {
    show_welcome("hard disk installation");
    const char* device = mount_image_volume();
    if (device == nullptr) {
        say("\nFATAL ERROR: No hard disk found");
        return false;
    }
    bool choose_mode = can_read(CHOOSE_FILE);
    PackageMenu menu;  // the catalogue lives until the restart
    InstallOrder order;
    if (!order_packages(menu, order, choose_mode)) return false;
    if (!material_fits(order)) return false;
    ImageMaterial material;
    bool installed = load_material(order, material, choose_mode) &&
                     install_material(ctx, device, order, material, choose_mode);
    release_material(material);
    return installed;
}

#include "disk/disk_preparation.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "console/activity.h"
#include "console/child_process.h"
#include "disk/boot_record.h"
#include "disk/config_snapshot.h"
#include "disk/disk_table.h"
#include "disk/partitioning.h"
#include "disk/system_files.h"
#include "disk/system_mount.h"

namespace {

// Prints one line of the sequence and pushes it out before any child runs.
void say(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

void unmount_new_system() {
    umount("/mnt/boot");
    umount("/mnt");
}

// Reads the old system's kept configuration, or returns null.
ConfigSnapshot* read_old_configuration(const DiskInfo& disk) {
    if (!mount_system(disk, "/mnt", false)) return nullptr;  // a blank disk: say nothing
    ConfigSnapshot* snapshot = nullptr;
    struct stat status;
    if (lstat("/mnt/vyre/store", &status) == 0) {
        start_activity("Reading old configuration...");
        snapshot = take_snapshot("/mnt/vyre/store");
        stop_activity();
        if (snapshot == nullptr) say("ERROR: couldn't keep config - probably not enough memory\n");
    }
    unmount_new_system();
    return snapshot;
}

// The base directories of the new system, as it will see them below /mnt.
const char* const BASE_DIRECTORIES[] = {"/proc", "/vyre", "/vyre/etc", "/var", "/var/pdb"};

void create_base_directories() {
    for (const char* directory : BASE_DIRECTORIES) {
        char path[80];
        snprintf(path, sizeof(path), "/mnt%s", directory);
        if (mkdir(path, 0755) != 0) {
            fflush(stdout);
            perror(directory);
        }
    }
}

// Gives up the preparation with an error line; the snapshot is lost.
bool fail(ConfigSnapshot* snapshot, const char* message) {
    release_snapshot(snapshot);
    say(message);
    return false;
}

}  // namespace

bool detect_disk(InstallContext& ctx) {
    say("\n");
    start_activity("Looking for harddrives...");
    int count;
    DiskInfo* table = find_disks(count);
    stop_activity();
    if (table == nullptr) {
        say("\nFATAL ERROR: no harddrives found\n");
        return false;
    }
    ctx.disk = table[0];
    printf("\nFound harddrive as %s\n", disk_display_name(ctx.disk.device));
    fflush(stdout);
    unmount_new_system();
    return true;
}

bool prepare_disk(InstallContext& ctx, bool keep_config) {
    const DiskInfo& disk = ctx.disk;
    ConfigSnapshot* snapshot = keep_config ? read_old_configuration(disk) : nullptr;

    start_activity("Creating partition...");
    bool partitioned = partition_disk(disk);
    stop_activity();
    if (!partitioned) return fail(snapshot, "ERROR: could not create partitions\n");

    start_activity("Formatting disk...");
    bool formatted = format_disk(disk);
    stop_activity();
    if (!formatted) return fail(snapshot, "ERROR: could not format partitions\n");

    write_boot_record(disk);  // reports its own failures; the sequence goes on

    if (!mount_system(disk, "/mnt", true)) {
        return fail(snapshot, "ERROR: could not mount filesystem\n");
    }
    if (!write_lilo_conf(disk, "/mnt"))
        return fail(snapshot, "ERROR: could not create lilo.conf\n");
    if (!write_fstab(disk, "/mnt")) return fail(snapshot, "ERROR: could not create fstab\n");
    create_base_directories();

    if (snapshot != nullptr) {
        start_activity("Writing back old configuration...");
        bool restored = restore_snapshot(snapshot);
        stop_activity();
        if (!restored) {
            say("ERROR: couldn't write old configuration - proboably not enough space on the "
                "disk\n");
        }
    }
    return true;
}

void finish_installation(InstallContext& ctx) {
    run_program("/mnt", "/bin/bash", "-c", "/etc/rc.d/rc.postinstall", nullptr);
    sync();
    umount("/mnt/boot");
    if (!ctx.disk.has_boot_partition) {
        // A remount takes the file system from the mount point; the source
        // and type are not looked at.
        if (mount("/dev/hda1", "/mnt", "ext3", MS_RDONLY | MS_REMOUNT, nullptr) == 0) {
            start_activity("Checking disk integrity...");
            run_program("/mnt", "/sbin/fsck", "-d", "-v", nullptr);
            stop_activity();
        }
    }
    umount("/mnt");
}

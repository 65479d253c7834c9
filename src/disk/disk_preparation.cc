#include "disk/disk_preparation.h"

#include <fcntl.h>
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

// Writes the file system mounted at mount_point out to the disk; false when
// a write of it has failed.
bool write_out_file_system(const char* mount_point) {
    int fd = open(mount_point, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool written = syncfs(fd) == 0;
    close(fd);
    return written;
}

// Writes the new system's file systems out to the disk. True when no
// write of the disk has failed since they were mounted: a file is written
// out later than it is written, and a failure then is kept for the file
// system until someone asks (syncfs reports it even through a descriptor
// opened afterwards, unless a syncfs has reported it already).
bool write_out_new_system(const DiskInfo& disk) {
    bool written = write_out_file_system("/mnt");
    if (disk.has_boot_partition) written = write_out_file_system("/mnt/boot") && written;
    return written;
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

    // The boot program is part of the new system: a disk that does not take
    // it would never start what follows. Its failure has been reported by
    // its own line.
    if (!write_boot_record(disk)) return fail(snapshot, "");

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

bool finish_installation(InstallContext& ctx) {
    run_program("/mnt", "/bin/bash", "-c", "/etc/rc.d/rc.postinstall", nullptr);
    sync();
    if (!write_out_new_system(ctx.disk)) {
        umount("/mnt/boot");
        umount("/mnt");
        say("ERROR: could not write the new system to the disk\n");
        return false;
    }
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
    return true;
}

#include "disk_device.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

// What a plain image file is given in place of a drive's geometry.
const uint32_t FILE_HEADS = 255;
const uint32_t FILE_SECTORS_PER_TRACK = 63;

bool open_disk_device(const char* path, bool writable, DiskDevice& disk, char* error,
                      size_t error_size) {
    disk.fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (disk.fd < 0) {
        snprintf(error, error_size, "cannot open %s: %s", path, strerror(errno));
        return false;
    }
    struct stat info;
    if (fstat(disk.fd, &info) != 0) {
        snprintf(error, error_size, "cannot examine %s: %s", path, strerror(errno));
        close_disk_device(disk);
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        disk.is_block_device = false;
        disk.geometry = make_geometry(uint64_t(info.st_size), FILE_HEADS, FILE_SECTORS_PER_TRACK);
        return true;
    }
    if (!S_ISBLK(info.st_mode)) {
        snprintf(error, error_size, "%s is neither a block device nor a disk image", path);
        close_disk_device(disk);
        return false;
    }
    disk.is_block_device = true;
    struct hd_geometry drive;
    memset(&drive, 0, sizeof drive);
    if (ioctl(disk.fd, HDIO_GETGEO, &drive) != 0) {
        snprintf(error, error_size, "%s reports no geometry: %s", path, strerror(errno));
        close_disk_device(disk);
        return false;
    }
    if (drive.heads == 0 || drive.sectors == 0) {
        snprintf(error, error_size, "%s reports an empty geometry", path);
        close_disk_device(disk);
        return false;
    }
    uint64_t size = 0;
    if (ioctl(disk.fd, BLKGETSIZE64, &size) != 0) {
        snprintf(error, error_size, "%s reports no size: %s", path, strerror(errno));
        close_disk_device(disk);
        return false;
    }
    disk.geometry = make_geometry(size, drive.heads, drive.sectors);
    return true;
}

void close_disk_device(DiskDevice& disk) {
    if (disk.fd >= 0) close(disk.fd);
    disk.fd = -1;
}

bool read_boot_record(DiskDevice& disk, uint8_t sector[512], char* error, size_t error_size) {
    ssize_t got = pread(disk.fd, sector, SECTOR_SIZE, 0);
    if (got < 0) {
        snprintf(error, error_size, "cannot read the master boot record: %s", strerror(errno));
        return false;
    }
    if (got != ssize_t(SECTOR_SIZE)) {
        snprintf(error, error_size, "the disk is smaller than one sector");
        return false;
    }
    return true;
}

bool write_boot_record(DiskDevice& disk, const uint8_t sector[512], char* error,
                       size_t error_size) {
    ssize_t put = pwrite(disk.fd, sector, SECTOR_SIZE, 0);
    if (put != ssize_t(SECTOR_SIZE)) {
        snprintf(error, error_size, "cannot write the master boot record: %s",
                 put < 0 ? strerror(errno) : "short write");
        return false;
    }
    if (fsync(disk.fd) != 0) {
        snprintf(error, error_size, "cannot flush the master boot record: %s", strerror(errno));
        return false;
    }
    return true;
}

bool reread_partition_table(DiskDevice& disk, char* error, size_t error_size) {
    if (!disk.is_block_device) return true;
    if (ioctl(disk.fd, BLKRRPART) != 0) {
        snprintf(error, error_size, "the table is written, but the kernel could not re-read it: %s",
                 strerror(errno));
        return false;
    }
    return true;
}

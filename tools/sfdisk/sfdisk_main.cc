// brindlex-sfdisk: the boot system's partitioning tool (/sbin/sfdisk).
//
//   brindlex-sfdisk -g [DEVICE...]   geometry of DEVICE, or of each of the IDE
//                                    disks /dev/hda to /dev/hdd present
//   brindlex-sfdisk -d -uC DEVICE    one line per used partition entry
//   brindlex-sfdisk [-q] -uC DEVICE  new table from standard input, one line
//                                    "start,size,type[,*]" in cylinders each
//
// Units are always cylinders ("-uC" is accepted); dump lines give sectors so
// that the first partition's one-track offset shows. A plain image file is
// treated as a disk of 255 heads and 63 sectors per track. Errors go to
// standard error with exit status 1; a rejected table leaves the disk as it
// was.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "disk_device.h"
#include "partition_table.h"
#include "table_writer.h"

namespace {

const char* const PROBED_DISKS[] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd"};
const size_t MAX_INPUT = 64 * 1024;

// What the command line asks for.
struct Options {
    bool geometry = false;
    bool dump = false;
    bool quiet = false;
    int first_device = 0;  // index into argv, 0 = none
    int device_count = 0;
};

void usage() {
    fprintf(stderr,
            "usage: brindlex-sfdisk -g [DEVICE...]\n"
            "       brindlex-sfdisk -d -uC DEVICE\n"
            "       brindlex-sfdisk [-q] -uC DEVICE < table\n");
}

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg[0] == '-' && options.device_count == 0) {
            if (strcmp(arg, "-g") == 0) {
                options.geometry = true;
            } else if (strcmp(arg, "-d") == 0) {
                options.dump = true;
            } else if (strcmp(arg, "-q") == 0) {
                options.quiet = true;
            } else if (strcmp(arg, "-uC") == 0) {
                // cylinders are the only unit
            } else {
                fprintf(stderr, "brindlex-sfdisk: unknown option %s\n", arg);
                usage();
                return false;
            }
            continue;
        }
        if (options.device_count == 0) options.first_device = i;
        options.device_count++;
    }
    if (options.geometry && options.dump) {
        fprintf(stderr, "brindlex-sfdisk: -g and -d do not go together\n");
        usage();
        return false;
    }
    if (!options.geometry && options.device_count != 1) {
        fprintf(stderr, "brindlex-sfdisk: %s\n",
                options.device_count == 0 ? "no device given" : "only one device at a time");
        usage();
        return false;
    }
    return true;
}

void print_geometry(const char* path, const DiskGeometry& geometry) {
    printf("%s: %u cylinders, %u heads, %u sectors/track\n", path, geometry.cylinders,
           geometry.heads, geometry.sectors_per_track);
}

// An IDE drive that the kernel lists as something else than a disk (a
// CD-ROM drive, say) is not reported.
bool probed_drive_is_disk(const char* path) {
    char media_path[64];
    snprintf(media_path, sizeof media_path, "/proc/ide/%s/media", path + strlen("/dev/"));
    FILE* media = fopen(media_path, "r");
    if (media == nullptr) return true;  // no IDE listing: trust the device
    char kind[16] = "";
    bool is_disk = fgets(kind, sizeof kind, media) != nullptr && strncmp(kind, "disk", 4) == 0;
    fclose(media);
    return is_disk;
}

int report_geometry(int argc, char** argv, const Options& options) {
    char error[256];
    if (options.device_count > 0) {
        int status = 0;
        for (int i = options.first_device; i < argc; i++) {
            DiskDevice disk;
            if (!open_disk_device(argv[i], false, disk, error, sizeof error)) {
                fprintf(stderr, "brindlex-sfdisk: %s\n", error);
                status = 1;
                continue;
            }
            print_geometry(argv[i], disk.geometry);
            close_disk_device(disk);
        }
        return status;
    }
    int found = 0;
    for (const char* path : PROBED_DISKS) {
        if (!probed_drive_is_disk(path)) continue;
        DiskDevice disk;
        if (!open_disk_device(path, false, disk, error, sizeof error)) continue;
        print_geometry(path, disk.geometry);
        close_disk_device(disk);
        found++;
    }
    if (found == 0) {
        fprintf(stderr, "brindlex-sfdisk: no IDE disk found\n");
        return 1;
    }
    return 0;
}

void print_table(const char* path, const uint8_t sector[512]) {
    printf("# partition table of %s\nunit: sectors\n\n", path);
    for (int i = 0; i < PARTITION_ENTRIES; i++) {
        PartitionEntry entry =
            decode_partition_entry(sector + PARTITION_TABLE_OFFSET + i * PARTITION_ENTRY_SIZE);
        if (!partition_entry_used(entry)) continue;
        printf("%s%d : start=%10u, size=%10u, Id=%2x%s\n", path, i + 1, entry.start_sector,
               entry.sector_count, entry.type, entry.boot_flag == 0x80 ? ", bootable" : "");
    }
}

int dump_table(const char* path) {
    char error[256];
    DiskDevice disk;
    if (!open_disk_device(path, false, disk, error, sizeof error)) {
        fprintf(stderr, "brindlex-sfdisk: %s\n", error);
        return 1;
    }
    uint8_t sector[512];
    bool read = read_boot_record(disk, sector, error, sizeof error);
    close_disk_device(disk);
    if (!read) {
        fprintf(stderr, "brindlex-sfdisk: %s: %s\n", path, error);
        return 1;
    }
    if (sector[510] != 0x55 || sector[511] != 0xaa) {
        fprintf(stderr, "brindlex-sfdisk: %s: no partition table\n", path);
        return 0;  // a blank disk simply has no partitions
    }
    print_table(path, sector);
    return 0;
}

// Reads all of standard input, at most MAX_INPUT bytes.
bool read_input(std::string& text) {
    char block[4096];
    for (;;) {
        ssize_t got = read(0, block, sizeof block);
        if (got < 0) {
            perror("brindlex-sfdisk: reading the table");
            return false;
        }
        if (got == 0) return true;
        text.append(block, size_t(got));
        if (text.size() > MAX_INPUT) {
            fprintf(stderr, "brindlex-sfdisk: more input than a partition table needs\n");
            return false;
        }
    }
}

int write_table(const char* path, bool quiet) {
    char error[256];
    DiskDevice disk;
    if (!open_disk_device(path, true, disk, error, sizeof error)) {
        fprintf(stderr, "brindlex-sfdisk: %s\n", error);
        return 1;
    }
    std::string input;
    if (!read_input(input)) {
        close_disk_device(disk);
        return 1;
    }
    uint8_t sector[512];
    TableWrite result =
        write_partition_input(disk, input.data(), input.size(), sector, error, sizeof error);
    close_disk_device(disk);
    if (result == TableWrite::REFUSED) {
        fprintf(stderr, "brindlex-sfdisk: %s: %s; the disk is left unchanged\n", path, error);
        return 1;
    }
    if (result == TableWrite::FAILED) {
        fprintf(stderr, "brindlex-sfdisk: %s: %s\n", path, error);
        return 1;
    }
    if (!quiet) print_table(path, sector);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) return 1;
    if (options.geometry) return report_geometry(argc, argv, options);
    const char* device = argv[options.first_device];
    if (options.dump) return dump_table(device);
    return write_table(device, options.quiet);
}

// bios-install-boot-record IMAGE: puts the installer's boot program into
// sector 0 of a disk image with the installer's own boot record writer, so
// that the BIOS tests boot exactly what an installation writes.
#include <cstdio>
#include <cstring>

#include "disk/boot_record.h"
#include "disk/disk_info.h"

int main(int argc, char** argv) {
    if (argc != 2 || strlen(argv[1]) >= sizeof(DiskInfo{}.device)) {
        fprintf(stderr, "usage: bios-install-boot-record IMAGE (path under 32 bytes)\n");
        return 2;
    }
    DiskInfo disk;
    memset(&disk, 0, sizeof disk);
    snprintf(disk.device, sizeof disk.device, "%s", argv[1]);
    return write_boot_record(disk) ? 0 : 1;
}

#include "disk/boot_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "disk/boot_program.h"

namespace {

// The partition entries and the signature start here.
constexpr int PARTITION_TABLE_OFFSET = 446;

static_assert(sizeof(boot_program) == 184, "the boot program fills bytes 0-183");

}  // namespace

void install_boot_program(unsigned char* sector) {
    memcpy(sector, boot_program, sizeof(boot_program));
    memset(sector + sizeof(boot_program), 0, PARTITION_TABLE_OFFSET - sizeof(boot_program));
}

bool write_boot_record(const DiskInfo& disk) {
    unsigned char sector[SECTOR_SIZE];
    int fd = open(disk.device, O_RDONLY);
    if (fd < 0) {
        perror("could not open MBR");
        return false;
    }
    ssize_t got = read(fd, sector, sizeof(sector));
    close(fd);
    if (got != ssize_t(sizeof(sector))) {
        perror("could not read MBR");
        return false;
    }
    install_boot_program(sector);
    fd = open(disk.device, O_WRONLY);
    if (fd < 0) {
        perror("could not open MBR");
        return false;
    }
    // The sector is on the disk only once fsync says so: a disk that fails
    // the write shows there, not in the write into the kernel's cache.
    bool written = write(fd, sector, sizeof(sector)) == ssize_t(sizeof(sector)) && fsync(fd) == 0;
    if (!written) perror("could not write MBR");
    close(fd);
    return written;
}

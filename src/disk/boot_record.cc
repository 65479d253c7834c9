#include "disk/boot_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#if __has_include("disk/boot_program.h")
#include "disk/boot_program.h"
#define HAVE_BOOT_PROGRAM 1
#endif

namespace {

// The partition entries and the signature start here.
constexpr int PARTITION_TABLE_OFFSET = 446;

#ifdef HAVE_BOOT_PROGRAM
static_assert(sizeof(boot_program) == 184, "the boot program fills bytes 0-183");
#endif

}  // namespace

#ifdef HAVE_BOOT_PROGRAM
void install_boot_program(unsigned char* sector) {
    memcpy(sector, boot_program, sizeof(boot_program));
    memset(sector + sizeof(boot_program), 0, PARTITION_TABLE_OFFSET - sizeof(boot_program));
}

#else
// A build without the assembled boot program cannot write a boot record:
// it says so and fails rather than writing a sector without code.
void install_boot_program(unsigned char*) {}
#endif

bool write_boot_record(const DiskInfo& disk) {
#ifndef HAVE_BOOT_PROGRAM
    (void)disk;
    fputs("could not write MBR: this build has no boot program\n", stderr);
    return false;
#endif
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
    ssize_t put = write(fd, sector, sizeof(sector));
    close(fd);
    if (put != ssize_t(sizeof(sector))) {
        perror("could not write MBR");
        return false;
    }
    return true;
}

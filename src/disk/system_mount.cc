#include "disk/system_mount.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>

#include "disk/partitioning.h"

namespace {

constexpr size_t PATH_SIZE = 80;

bool mount_partition(const DiskInfo& disk, int number, const char* target, const char* type) {
    char path[PATH_SIZE];
    if (!partition_path(path, sizeof(path), disk, number)) return false;
    return mount(path, target, type, 0, nullptr) == 0;
}

}  // namespace

bool mount_system(const DiskInfo& disk, const char* target, bool with_boot) {
    if (!mount_partition(disk, 2, target, "ext3")) {
        if (mount_partition(disk, 1, target, "ext3")) return true;
        if (!mount_partition(disk, 2, target, "ext2")) {
            return mount_partition(disk, 1, target, "ext2");
        }
    }
    if (!with_boot) return true;
    char boot[PATH_SIZE];
    int length = snprintf(boot, sizeof(boot), "%s/boot", target);
    bool fits = length >= 0 && size_t(length) < sizeof(boot);
    if (fits) mkdir(boot, 0755);  // an existing directory is fine
    if (!fits || !mount_partition(disk, 1, boot, "ext2")) {
        umount(target);
        return false;
    }
    return true;
}

#include "disk/system_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr size_t PATH_SIZE = 80;

// Builds root + suffix into path; false when it does not fit.
bool join_path(char* path, const char* root, const char* suffix) {
    int length = snprintf(path, PATH_SIZE, "%s%s", root, suffix);
    return length >= 0 && length < int(PATH_SIZE);
}

// Creates root/etc and opens root/<name> for writing, truncated.
FILE* create_system_file(const char* root, const char* name, char* path) {
    char etc[PATH_SIZE];
    if (join_path(etc, root, "/etc")) mkdir(etc, 0755);  // may exist already
    if (!join_path(path, root, name)) return nullptr;
    return fopen(path, "w");
}

// Closes a written system file and gives it mode 0644. True only when
// every line reached the disk: a disk that fails the write shows in the
// flush and fsync, not in the writes into the kernel's cache.
bool close_system_file(FILE* file, const char* path) {
    bool written = !ferror(file) && fflush(file) == 0 && fsync(fileno(file)) == 0;
    written = fclose(file) == 0 && written;
    chmod(path, 0644);
    return written;
}

}  // namespace

bool write_lilo_conf(const DiskInfo& disk, const char* root) {
    char path[PATH_SIZE];
    FILE* file = create_system_file(root, "/etc/lilo.conf", path);
    if (file == nullptr) return false;
    fprintf(file, "boot=%s1\n", disk.device);
    fputs("map=/boot/map\n", file);
    fputs("install=/boot/boot.b\n", file);
    fputs("lba32\n", file);
    fputs("image=/boot/vmlinuz\n", file);
    fputs("  label=System\n", file);
    fprintf(file, "  root=%s%d\n", disk.device, disk.has_boot_partition ? 2 : 1);
    fputs("  read-only\n", file);
    return close_system_file(file, path);
}

bool write_fstab(const DiskInfo& disk, const char* root) {
    char path[PATH_SIZE];
    FILE* file = create_system_file(root, "/etc/fstab", path);
    if (file == nullptr) return false;
    const char* type = disk.use_journal ? "ext3" : "ext2";
    if (disk.has_boot_partition) {
        fprintf(file, "%s2  /     %s defaults 1 1\n", disk.device, type);
        fprintf(file, "%s1  /boot ext2 defaults 1 2\n", disk.device);
    } else {
        fprintf(file, "%s1  /     %s defaults 1 1\n", disk.device, type);
    }
    fputs("none /proc proc defaults 0 0\n", file);
    fputs("none /dev/pts devpts gid=5,mode=620 0 0\n", file);
    if (!close_system_file(file, path)) return false;
    if (disk.use_journal) {
        char marker[PATH_SIZE];
        if (join_path(marker, root, "/.nofsck")) {
            FILE* nofsck = fopen(marker, "w");
            if (nofsck != nullptr) fclose(nofsck);
        }
    }
    return true;
}

#include "disk/partitioning.h"

#include <cstring>

#include "console/child_process.h"
#include "disk/disk_table.h"

namespace {

// Dump lines are read into buffers of this size; paths are 80 bytes.
constexpr size_t DUMP_LINE_SIZE = 256;
constexpr size_t PATH_SIZE = 80;

bool make_file_system(const DiskInfo& disk, int number, bool journal) {
    char path[PATH_SIZE];
    if (!partition_path(path, sizeof(path), disk, number)) return false;
    int status = journal ? run_program(nullptr, "/sbin/mke2fs", "-j", path, nullptr)
                         : run_program(nullptr, "/sbin/mke2fs", path, nullptr);
    return status == 0;
}

}  // namespace

uint32_t boot_partition_cylinders(const DiskInfo& disk) {
    // Formed in 64 bits: a huge cylinder would overflow the 32-bit sum.
    return uint32_t((uint64_t(disk.bytes_per_cylinder) + 10485759u) / disk.bytes_per_cylinder);
}

int count_dump_entries(FILE* dump) {
    int count = 0;
    char line[DUMP_LINE_SIZE];
    bool too_long;
    while (read_report_line(dump, line, sizeof(line), &too_long)) {
        if (strncmp(line, "/dev/", 5) == 0) ++count;
    }
    return count;
}

void write_partition_table(FILE* out, const DiskInfo& disk, int old_entries) {
    int written;
    if (disk.has_boot_partition) {
        uint32_t boot = boot_partition_cylinders(disk);
        fprintf(out, "0,%d,83,*\n", int(boot));
        fprintf(out, "%d,%d,83,*\n", int(boot), int(disk.cylinders - boot));
        written = 2;
    } else {
        fprintf(out, "0,%d,83,*\n", int(disk.cylinders));
        written = 1;
    }
    for (int i = written; i < old_entries; ++i) fputs("0,0,0\n", out);
}

bool partition_path(char* path, size_t size, const DiskInfo& disk, int number) {
    int length = snprintf(path, size, "%s%d", disk.device, number);
    return length >= 0 && size_t(length) < size;
}

bool partition_disk(const DiskInfo& disk) {
    FILE* dump = open_read_pipe("/sbin/sfdisk", "-d", "-uC", disk.device, nullptr);
    if (dump == nullptr) return false;
    int old_entries = count_dump_entries(dump);
    close_pipe(dump);

    FILE* input = open_write_pipe("/sbin/sfdisk", "-q", "-uC", disk.device, ">null", nullptr);
    if (input == nullptr) return false;
    write_partition_table(input, disk, old_entries);
    // The kernel keeps the new table in its cache even when the disk failed
    // to take it, so formatting would not notice: the tool's status tells.
    return close_pipe(input) == 0;
}

bool format_disk(const DiskInfo& disk) {
    if (!disk.has_boot_partition) return make_file_system(disk, 1, disk.use_journal);
    if (!make_file_system(disk, 1, false)) return false;
    return make_file_system(disk, 2, disk.use_journal);
}

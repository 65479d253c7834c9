#include "disk/disk_table.h"

#include <cstring>

#include "console/child_process.h"

namespace {

// Geometry lines are read into buffers of this size.
constexpr size_t REPORT_LINE_SIZE = 128;

DiskInfo* disk_table = nullptr;

}  // namespace

void clear_disk_info(DiskInfo& disk) {
    memset(disk.device, 0, sizeof(disk.device));
    disk.cylinders = 0;
    disk.has_boot_partition = false;
    disk.use_journal = false;
}

void set_disk_geometry(DiskInfo& disk, uint32_t cylinders, uint32_t bytes_per_cylinder) {
    disk.cylinders = cylinders;
    disk.bytes_per_cylinder = bytes_per_cylinder;
    disk.has_boot_partition = cylinders > 1023;
    disk.use_journal = uint64_t(cylinders) * uint64_t(bytes_per_cylinder) > 41943040ull;
}

bool read_report_line(FILE* stream, char* line, size_t size, bool* too_long) {
    size_t used = 0;
    bool overflow = false;
    int c;
    while ((c = getc(stream)) != EOF) {
        if (c == '\n') break;
        if (used + 1 < size) {
            line[used++] = char(c);
        } else {
            overflow = true;
        }
    }
    if (c == EOF && used == 0 && !overflow) return false;
    line[used] = '\0';
    *too_long = overflow;
    return true;
}

bool parse_geometry_line(const char* line, DiskInfo& disk) {
    if (strncmp(line, "/dev/", 5) != 0) return false;
    // One byte more than a device path may hold, so that the colon of a
    // full-length path still fits and an over-long name is recognised.
    char name[sizeof(disk.device) + 1];
    unsigned cylinders, heads, sectors;
    if (sscanf(line, "%32s %u %*s %u %*s %u", name, &cylinders, &heads, &sectors) != 4) {
        return false;
    }
    size_t length = strlen(name);
    if (length > 0 && name[length - 1] == ':') name[--length] = '\0';
    // The device path must keep its terminator; a longer name is not a
    // device this installer can open.
    if (length >= sizeof(disk.device)) return false;
    // A disk without cylinders or tracks cannot be partitioned (and would
    // divide by zero when the boot partition is sized).
    uint64_t bytes_per_cylinder = uint64_t(heads) * sectors * 512;
    if (cylinders == 0 || bytes_per_cylinder == 0 || bytes_per_cylinder > UINT32_MAX) return false;
    memset(disk.device, 0, sizeof(disk.device));
    memcpy(disk.device, name, length);
    set_disk_geometry(disk, cylinders, uint32_t(bytes_per_cylinder));
    return true;
}

int fill_disk_table(FILE* report, DiskInfo* table) {
    int count = 0;
    char line[REPORT_LINE_SIZE];
    bool too_long;
    while (count < DISK_TABLE_SIZE && read_report_line(report, line, sizeof(line), &too_long)) {
        if (too_long) continue;
        if (parse_geometry_line(line, table[count])) ++count;
    }
    return count;
}

DiskInfo* find_disks(int& count) {
    count = 0;
    if (disk_table == nullptr) {
        disk_table = new DiskInfo[DISK_TABLE_SIZE];
        for (int i = 0; i < DISK_TABLE_SIZE; ++i) {
            disk_table[i].bytes_per_cylinder = 0;
            clear_disk_info(disk_table[i]);
        }
    }
    FILE* report = open_read_pipe("/sbin/sfdisk", "-g", nullptr);
    if (report == nullptr) return nullptr;
    count = fill_disk_table(report, disk_table);
    close_pipe(report);
    return count > 0 ? disk_table : nullptr;
}

const char* disk_display_name(const char* device) {
    static const char* const names[][2] = {
        {"/dev/hda", "IDE Primary master (disk C)"},
        {"/dev/hdb", "IDE Primary slave (disk D)"},
        {"/dev/hdc", "IDE Secondary master (disk E)"},
        {"/dev/hdd", "IDE Secondary slave (disk F)"},
    };
    for (const auto& entry : names) {
        if (strcmp(device, entry[0]) == 0) return entry[1];
    }
    return device;
}

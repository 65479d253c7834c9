// The geometry report of the partitioning tool, read into the disk table
// exactly as disk detection reads it from its pipe.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "disk/disk_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* report = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!report) return 0;
    DiskInfo table[DISK_TABLE_SIZE];
    memset(table, 0, sizeof(table));
    int count = fill_disk_table(report, table);
    fclose(report);
    if (count < 0 || count > DISK_TABLE_SIZE) __builtin_trap();
    for (int i = 0; i < count; ++i) {
        // Every entry is a terminated device path with a usable geometry.
        if (memchr(table[i].device, 0, sizeof(table[i].device)) == nullptr) __builtin_trap();
        if (table[i].cylinders == 0 || table[i].bytes_per_cylinder == 0) __builtin_trap();
    }
    return 0;
}

#pragma once
#include <cstdint>
#include <cstdio>

#include "disk/disk_info.h"

// Cylinders of the boot partition: 10 MiB rounded up to whole cylinders.
uint32_t boot_partition_cylinders(const DiskInfo& disk);

// Counts the partition entries ("/dev/..." lines) of a partition dump.
int count_dump_entries(FILE* dump);

// Writes the partitioning tool's input for the disk's layout, then one
// emptying line for every old entry beyond the new partitions.
void write_partition_table(FILE* out, const DiskInfo& disk, int old_entries);

// Builds "<device><number>" into path; false when it does not fit.
bool partition_path(char* path, size_t size, const DiskInfo& disk, int number);

// Writes the new partition table; fails when the tool cannot start or says
// (its exit status) that the disk did not take the table.
bool partition_disk(const DiskInfo& disk);

// Makes the file systems of the layout; fails on the first failed run.
bool format_disk(const DiskInfo& disk);

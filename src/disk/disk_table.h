#pragma once
#include <cstdint>
#include <cstdio>

#include "disk/disk_info.h"

// Number of entries of the process-wide disk table.
constexpr int DISK_TABLE_SIZE = 4;

// Empty device, no cylinders, both layout flags off (bytes_per_cylinder
// is left as it is).
void clear_disk_info(DiskInfo& disk);

// Stores the geometry and derives the layout: a boot partition from 1024
// cylinders on, a journal for disks larger than 40 MiB.
void set_disk_geometry(DiskInfo& disk, uint32_t cylinders, uint32_t bytes_per_cylinder);

// Reads one line of at most size - 1 characters into line, without the
// newline. A longer line is consumed whole and reported as too long (the
// function returns true and sets *too_long) so that its tail is never taken
// for a line of its own. Returns false at the end of the stream.
bool read_report_line(FILE* stream, char* line, size_t size, bool* too_long);

// Parses one geometry line "/dev/hda: 790 cylinders, 16 heads, 63
// sectors/track" into disk. False for lines that are not a usable disk.
bool parse_geometry_line(const char* line, DiskInfo& disk);

// Fills table (at most DISK_TABLE_SIZE entries) from a geometry report and
// returns the number of entries filled.
int fill_disk_table(FILE* report, DiskInfo* table);

// Lists the disks the partitioning tool knows. Returns the process-wide
// table and sets count (1 to 4), or returns null when no disk was found.
DiskInfo* find_disks(int& count);

// "IDE Primary master (disk C)" and the like for the four IDE positions;
// any other path is returned unchanged.
const char* disk_display_name(const char* device);

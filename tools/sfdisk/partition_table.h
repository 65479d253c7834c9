#pragma once
#include <cstddef>
#include <cstdint>

// The disk's geometry as the partitioning tool uses it: whole cylinders of
// heads * sectors_per_track sectors of 512 bytes.
struct DiskGeometry {
    uint32_t heads;
    uint32_t sectors_per_track;
    uint32_t cylinders;      // whole cylinders on the disk
    uint64_t total_sectors;  // device size / 512
};

// One entry of the master boot record's partition table, as the tool
// writes it (the CHS fields are derived from the LBA fields).
struct PartitionEntry {
    uint8_t boot_flag;      // 0x80 bootable, 0 not
    uint8_t type;           // 0 = empty entry
    uint32_t start_sector;  // LBA of the first sector
    uint32_t sector_count;
};

const size_t PARTITION_TABLE_OFFSET = 446;
const size_t PARTITION_ENTRY_SIZE = 16;
const int PARTITION_ENTRIES = 4;
const uint32_t SECTOR_SIZE = 512;

// Geometry from a device size in bytes and the heads and sectors per track.
DiskGeometry make_geometry(uint64_t size_bytes, uint32_t heads, uint32_t sectors_per_track);

// True when the entry describes a partition (non-zero type or size).
bool partition_entry_used(const PartitionEntry& entry);

// The three CHS bytes of an LBA sector (head, sector | cylinder bits 8-9,
// cylinder bits 0-7); cylinders beyond 1023 give the largest address.
void encode_chs(const DiskGeometry& geometry, uint32_t lba, uint8_t out[3]);

// Writes one entry's 16 bytes (all zero for an empty entry).
void encode_partition_entry(const DiskGeometry& geometry, const PartitionEntry& entry,
                            uint8_t out[16]);

// Reads the boot flag, type and LBA fields of one 16-byte entry.
PartitionEntry decode_partition_entry(const uint8_t in[16]);

// Parses the tool's input: up to four lines "start,size,type[,*]" in
// cylinders (type in hexadecimal, "*" = bootable, size 0 = empty entry).
// Entries not given are empty. A partition that starts at cylinder 0
// begins one track later, leaving that track to the master boot record.
// On failure writes a one-line reason into error and returns false.
bool parse_partition_input(const char* text, size_t length, const DiskGeometry& geometry,
                           PartitionEntry entries[PARTITION_ENTRIES], char* error,
                           size_t error_size);

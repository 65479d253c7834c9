#pragma once
#include <cstdint>

// The 32-byte header at the start of every floppy data file. The file is
// little-endian and so are the installer's machines, so it is read straight
// into this record.
struct FloppyHeader {
    uint32_t magic;           // FLOPPY_MAGIC
    uint32_t payload_length;  // payload bytes on this floppy
    uint32_t set_id;          // shared by all floppies of one set
    uint16_t part_index;      // 0-based number of this part
    uint16_t part_count;      // data floppies in the set
    uint16_t block_size;      // bytes per block, checksum included
    uint16_t group_blocks;    // blocks per group, parity blocks included
    uint16_t parity_blocks;   // parity blocks at the end of each group
    uint8_t reserved[10];
};
static_assert(sizeof(FloppyHeader) == 32, "floppy header is 32 bytes");

constexpr uint32_t FLOPPY_MAGIC = 0x72847299;

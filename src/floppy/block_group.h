#pragma once
#include <cstdint>
#include <cstdio>

#include "floppy/floppy_header.h"

// The buffers for one group of blocks of a floppy data file: group_blocks
// blocks of block_size bytes (the last 4 bytes of each unused) and the
// checksum stored after each block. One is made per floppy.
struct BlockGroup {
    uint16_t block_size;     // bytes per block, checksum included
    uint16_t group_blocks;   // blocks per group, parity blocks included
    uint16_t parity_blocks;  // parity blocks at the end of the group
    uint8_t* blocks;         // group_blocks * block_size bytes
    uint32_t* checksums;     // group_blocks stored checksums
};

// Makes the buffers for the geometry in header; false when the memory
// cannot be had (the group is then empty and safe to free).
bool make_block_group(BlockGroup& group, const FloppyHeader& header);
void free_block_group(BlockGroup& group);

// The data bytes of block i of the group (block_size - 4 of them).
inline uint8_t* group_block(BlockGroup& group, unsigned i) {
    return group.blocks + static_cast<size_t>(i) * group.block_size;
}

// Reads one group from the floppy: each block's data bytes, then its
// 4-byte little-endian checksum. False on a short read.
bool read_block_group(BlockGroup& group, FILE* floppy);

// Checks every block against its checksum and rebuilds one bad payload
// block from the single parity block, noting it on the log terminal.
// False when the group cannot be trusted.
bool repair_group(BlockGroup& group);

#include "floppy/block_group.h"

#include <cstdlib>
#include <cstring>

#include "floppy/crc32.h"
#include "startup/process_state.h"

bool make_block_group(BlockGroup& group, const FloppyHeader& header) {
    group.block_size = header.block_size;
    group.group_blocks = header.group_blocks;
    group.parity_blocks = header.parity_blocks;
    group.blocks = static_cast<uint8_t*>(
        malloc(static_cast<size_t>(header.block_size) * header.group_blocks + 1));
    group.checksums = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (header.group_blocks + 1u)));
    if (group.blocks == nullptr || group.checksums == nullptr) {
        free_block_group(group);
        return false;
    }
    return true;
}

void free_block_group(BlockGroup& group) {
    free(group.blocks);
    free(group.checksums);
    group.blocks = nullptr;
    group.checksums = nullptr;
}

bool read_block_group(BlockGroup& group, FILE* floppy) {
    size_t data_bytes = group.block_size - 4u;
    for (unsigned i = 0; i < group.group_blocks; ++i) {
        if (fread(group_block(group, i), 1, data_bytes, floppy) != data_bytes) return false;
        uint8_t stored[4];
        if (fread(stored, 1, 4, floppy) != 4) return false;
        group.checksums[i] = static_cast<uint32_t>(stored[0]) | stored[1] << 8 | stored[2] << 16 |
                             static_cast<uint32_t>(stored[3]) << 24;
    }
    return true;
}

// One line on the log terminal, which is opened for this line only.
static void log_recovery(unsigned block) {
    FILE* log = fopen(log_terminal, "a");
    if (log == nullptr) return;
    fprintf(log, "Recovering bad block #%d\n", static_cast<int>(block));
    fclose(log);
}

bool repair_group(BlockGroup& group) {
    size_t data_bytes = group.block_size - 4u;
    int bad = -1;
    for (unsigned i = 0; i < group.group_blocks; ++i) {
        if (crc32_ieee(group_block(group, i), data_bytes) == group.checksums[i]) continue;
        if (bad >= 0) return false;  // two damaged blocks: beyond repair
        bad = static_cast<int>(i);
    }
    unsigned payload_blocks = group.group_blocks - group.parity_blocks;
    if (bad < 0 || static_cast<unsigned>(bad) >= payload_blocks) return true;
    if (group.parity_blocks != 1) return false;

    log_recovery(static_cast<unsigned>(bad));
    // The single parity block is the XOR of all payload blocks, so the lost
    // block is the XOR of every other block of the group, parity included.
    uint8_t* target = group_block(group, static_cast<unsigned>(bad));
    memset(target, 0, data_bytes);
    for (unsigned i = 0; i < group.group_blocks; ++i) {
        if (static_cast<int>(i) == bad) continue;
        const uint8_t* source = group_block(group, i);
        for (size_t k = 0; k < data_bytes; ++k) target[k] ^= source[k];
    }
    return true;
}

#pragma once
// Writing a floppy set: the payload (packages back to back, in installation
// order) cut into data files brindlex.n00, brindlex.n01, ..., each a header
// and groups of checked blocks with XOR parity, and optionally one 1.44 MB
// FAT floppy image per data file.
#include <cstdint>
#include <string>
#include <vector>

// A block to spoil on purpose, for tests of the repair: one byte of its data
// is flipped after the checksums were computed.
struct BlockDamage {
    unsigned part;
    unsigned group;
    unsigned block;
};

// How to cut and protect a set.
struct FloppySetOptions {
    uint32_t block_size = 1024;   // bytes per block, checksum included
    uint32_t group_blocks = 32;   // blocks per group, parity included
    uint32_t parity_blocks = 1;   // XOR parity blocks ending each group
    uint32_t set_id = 0;          // 0: derived from the payload
    uint64_t capacity = 1457664;  // bytes a data file may take (1.44 MB FAT)
    bool images = true;           // also write brindlex.nNN.img
    std::vector<BlockDamage> damage;
};

// Payload bytes one data file carries with these options (0: none fit).
uint64_t part_payload_capacity(const FloppySetOptions& options);

// Empty when the options are usable, else what is wrong with them.
std::string check_floppy_set_options(const FloppySetOptions& options);

// The bytes of one data file.
std::string build_floppy_part(const FloppySetOptions& options, uint32_t set_id, unsigned part_index,
                              unsigned part_count, const std::string& part_payload);

// Writes the whole set into out_dir; on failure nothing new is left there
// (temporary names are renamed only at the end) and error says why.
// Returns the number of parts, 0 on failure.
unsigned write_floppy_set(const FloppySetOptions& options, const std::string& payload,
                          const std::string& out_dir, std::string& error);

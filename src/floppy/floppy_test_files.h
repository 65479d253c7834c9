#pragma once
// Helpers of the floppy tests: a part file laid out byte by byte, so that
// the reader is checked against the format and not against a writer of ours.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "floppy/crc32.h"
#include "floppy/floppy_header.h"

// Geometry and identity of a test part.
struct TestPart {
    uint32_t set_id = 0x1234;
    uint16_t part_index = 0;
    uint16_t part_count = 1;
    uint16_t block_size = 64;
    uint16_t group_blocks = 5;
    uint16_t parity_blocks = 1;
    uint32_t magic = FLOPPY_MAGIC;
};

// A damaged byte: group, block within the group, byte within the block's
// data (or 4 bytes past the data for the checksum).
struct Damage {
    unsigned group;
    unsigned block;
    unsigned byte;
};

inline void put_le(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// The whole data file: header, groups of blocks with their checksums, every
// parity block the XOR of the group's payload blocks, filler zeros.
inline std::string build_part(const TestPart& t, const std::string& payload,
                              const std::vector<Damage>& damage = {}, uint32_t length_field = ~0u) {
    std::string out;
    put_le(out, t.magic, 4);
    put_le(out, length_field == ~0u ? payload.size() : length_field, 4);
    put_le(out, t.set_id, 4);
    put_le(out, t.part_index, 2);
    put_le(out, t.part_count, 2);
    put_le(out, t.block_size, 2);
    put_le(out, t.group_blocks, 2);
    put_le(out, t.parity_blocks, 2);
    out.append(10, '\0');
    size_t data = t.block_size - 4u;
    size_t payload_blocks = t.group_blocks - t.parity_blocks;
    size_t pos = 0;
    unsigned g = 0;
    do {
        std::vector<std::string> blocks;
        std::string parity(data, '\0');
        for (size_t b = 0; b < payload_blocks; ++b) {
            std::string block = payload.substr(std::min(pos, payload.size()), data);
            block.resize(data, '\0');
            pos += data;
            for (size_t k = 0; k < data; ++k) parity[k] ^= block[k];
            blocks.push_back(block);
        }
        for (size_t p = 0; p < t.parity_blocks; ++p) blocks.push_back(parity);
        for (size_t b = 0; b < blocks.size(); ++b) {
            std::string block = blocks[b];
            put_le(block, crc32_ieee(block.data(), block.size()), 4);
            for (const Damage& d : damage)
                if (d.group == g && d.block == b) block[d.byte] ^= 0x5a;
            out += block;
        }
        ++g;
    } while (pos < payload.size());
    return out;
}

inline std::string pattern_payload(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

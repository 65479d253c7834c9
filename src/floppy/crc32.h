#pragma once
#include <cstddef>
#include <cstdint>

// The CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, result complemented) that guards every block of a floppy data
// file. Table-driven, sixteen bytes a round in three interleaved lanes; the
// tables are built once, on first use.
uint32_t crc32_ieee(const void* data, size_t length);

// Continues a checksum: crc32_ieee_update(crc32_ieee(a, n), b, m) is the
// checksum of a followed by b. Start from 0 for an empty prefix.
uint32_t crc32_ieee_update(uint32_t crc, const void* data, size_t length);

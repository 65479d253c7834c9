#include "floppy/crc32.h"

#include <cstring>

namespace {

// Sixteen lookup tables: table[0] is the classic byte-at-a-time table,
// table[k] advances a byte that still has k more bytes behind it, so that
// sixteen bytes are folded in with one lookup each.
struct Crc32Tables {
    uint32_t table[16][256];
};

Crc32Tables build_tables() {
    Crc32Tables t;
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t.table[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int s = 1; s < 16; ++s) {
            uint32_t prev = t.table[s - 1][i];
            t.table[s][i] = (prev >> 8) ^ t.table[0][prev & 0xff];
        }
    }
    return t;
}

const Crc32Tables& tables() {
    static const Crc32Tables t = build_tables();
    return t;
}

inline uint32_t load_le32(const uint8_t* p) {
    // The installer's machines are little-endian, like the floppy format.
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

}  // namespace

uint32_t crc32_ieee_update(uint32_t crc, const void* data, size_t length) {
    const uint32_t(*t)[256] = tables().table;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    while (length >= 16) {
        uint32_t a = load_le32(p) ^ crc;
        uint32_t b = load_le32(p + 4);
        uint32_t c = load_le32(p + 8);
        uint32_t d = load_le32(p + 12);
        crc = t[15][a & 0xff] ^ t[14][(a >> 8) & 0xff] ^ t[13][(a >> 16) & 0xff] ^ t[12][a >> 24] ^
              t[11][b & 0xff] ^ t[10][(b >> 8) & 0xff] ^ t[9][(b >> 16) & 0xff] ^ t[8][b >> 24] ^
              t[7][c & 0xff] ^ t[6][(c >> 8) & 0xff] ^ t[5][(c >> 16) & 0xff] ^ t[4][c >> 24] ^
              t[3][d & 0xff] ^ t[2][(d >> 8) & 0xff] ^ t[1][(d >> 16) & 0xff] ^ t[0][d >> 24];
        p += 16;
        length -= 16;
    }
    while (length--) crc = t[0][(crc ^ *p++) & 0xff] ^ (crc >> 8);
    return ~crc;
}

uint32_t crc32_ieee(const void* data, size_t length) {
    return crc32_ieee_update(0, data, length);
}

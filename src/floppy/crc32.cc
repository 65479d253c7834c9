#include "floppy/crc32.h"

#include <cstring>

namespace {

// Bytes each of the three interleaved lanes covers per step of the long
// loop (a multiple of 16).
constexpr size_t LANE_BYTES = 96;

// The lookup tables. byte_table[0] is the classic byte-at-a-time table;
// byte_table[k] advances a byte that has k more bytes behind it, so that
// sixteen bytes are folded in with one lookup each. skip_one and skip_two
// move a checksum register over LANE_BYTES and 2 * LANE_BYTES zero bytes,
// one lookup per register byte: they join three lanes computed side by
// side, which keeps the processor busy while each lane waits for its
// lookups.
struct Crc32Tables {
    uint32_t byte_table[16][256];
    uint32_t skip_one[4][256];
    uint32_t skip_two[4][256];
};

uint32_t over_zeros(const Crc32Tables& t, uint32_t reg, size_t count) {
    while (count--) reg = t.byte_table[0][reg & 0xff] ^ (reg >> 8);
    return reg;
}

Crc32Tables build_tables() {
    Crc32Tables t;
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t.byte_table[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int s = 1; s < 16; ++s) {
            uint32_t prev = t.byte_table[s - 1][i];
            t.byte_table[s][i] = (prev >> 8) ^ t.byte_table[0][prev & 0xff];
        }
    }
    for (int k = 0; k < 4; ++k) {
        for (uint32_t b = 0; b < 256; ++b) {
            t.skip_one[k][b] = over_zeros(t, b << (8 * k), LANE_BYTES);
            t.skip_two[k][b] = over_zeros(t, b << (8 * k), 2 * LANE_BYTES);
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

// Folds 16 bytes into the register.
inline uint32_t fold16(const uint32_t (*t)[256], uint32_t reg, const uint8_t* p) {
    uint32_t a = load_le32(p) ^ reg;
    uint32_t b = load_le32(p + 4);
    uint32_t c = load_le32(p + 8);
    uint32_t d = load_le32(p + 12);
    return t[15][a & 0xff] ^ t[14][(a >> 8) & 0xff] ^ t[13][(a >> 16) & 0xff] ^ t[12][a >> 24] ^
           t[11][b & 0xff] ^ t[10][(b >> 8) & 0xff] ^ t[9][(b >> 16) & 0xff] ^ t[8][b >> 24] ^
           t[7][c & 0xff] ^ t[6][(c >> 8) & 0xff] ^ t[5][(c >> 16) & 0xff] ^ t[4][c >> 24] ^
           t[3][d & 0xff] ^ t[2][(d >> 8) & 0xff] ^ t[1][(d >> 16) & 0xff] ^ t[0][d >> 24];
}

inline uint32_t skip(const uint32_t (*t)[256], uint32_t reg) {
    return t[0][reg & 0xff] ^ t[1][(reg >> 8) & 0xff] ^ t[2][(reg >> 16) & 0xff] ^ t[3][reg >> 24];
}

}  // namespace

uint32_t crc32_ieee_update(uint32_t crc, const void* data, size_t length) {
    const Crc32Tables& tab = tables();
    const uint32_t(*t)[256] = tab.byte_table;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t reg = ~crc;
    // Three lanes of LANE_BYTES each: the first continues the register, the
    // other two start from zero; the register is linear in its input, so
    // the lanes are joined by moving the earlier ones over the later bytes.
    while (length >= 3 * LANE_BYTES) {
        uint32_t first = reg, second = 0, third = 0;
        for (size_t i = 0; i < LANE_BYTES; i += 16) {
            first = fold16(t, first, p + i);
            second = fold16(t, second, p + LANE_BYTES + i);
            third = fold16(t, third, p + 2 * LANE_BYTES + i);
        }
        reg = skip(tab.skip_two, first) ^ skip(tab.skip_one, second) ^ third;
        p += 3 * LANE_BYTES;
        length -= 3 * LANE_BYTES;
    }
    while (length >= 16) {
        reg = fold16(t, reg, p);
        p += 16;
        length -= 16;
    }
    while (length--) reg = t[0][(reg ^ *p++) & 0xff] ^ (reg >> 8);
    return ~reg;
}

uint32_t crc32_ieee(const void* data, size_t length) {
    return crc32_ieee_update(0, data, length);
}

// The check value of package contents, CRC-32 of IEEE 802.3, at the speed
// of the machine: every byte of a package goes through it, so it must not
// be what the unpacker waits for.
//
// Two ways, chosen once by what the processor offers:
//   - tables, eight bytes per step (any processor);
//   - folding with carry-less multiplication (PCLMULQDQ): the data is
//     folded 64 bytes per step in four 128-bit lanes, the lanes into one,
//     that to 64 and then 32 bits by a Barrett reduction; the tables take
//     what is left over (less than 16 bytes, or inputs under 64 bytes).
// Both work on the running value before the final xor.
#include <cstring>

#include "package_content.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BRINDLEX_CRC32_FOLDING 1
#endif

namespace {

// Eight tables for the slicing CRC: table[0] is the classic byte table,
// table[k][b] the CRC of byte b followed by k zero bytes.
struct CrcTables {
    uint32_t t[8][256];
    CrcTables() {
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t c = b;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][b] = c;
        }
        for (uint32_t b = 0; b < 256; ++b)
            for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    }
};

const CrcTables& crc_tables() {
    static const CrcTables tables;
    return tables;
}

uint32_t crc32_by_tables(uint32_t c, const unsigned char* p, size_t length) {
    const CrcTables& tb = crc_tables();
    while (length >= 8) {
        uint32_t lo = c ^ load_le32(p);
        uint32_t hi = load_le32(p + 4);
        c = tb.t[7][lo & 0xFF] ^ tb.t[6][(lo >> 8) & 0xFF] ^ tb.t[5][(lo >> 16) & 0xFF] ^
            tb.t[4][lo >> 24] ^ tb.t[3][hi & 0xFF] ^ tb.t[2][(hi >> 8) & 0xFF] ^
            tb.t[1][(hi >> 16) & 0xFF] ^ tb.t[0][hi >> 24];
        p += 8;
        length -= 8;
    }
    while (length-- > 0) c = tb.t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c;
}

#if BRINDLEX_CRC32_FOLDING

// The folding constants of the reflected polynomial: x^(k) mod P(x),
// bit-reflected, for folding over 512 bits (four lanes), over 128 bits,
// from 96 to 64 bits, and the polynomial with its Barrett quotient.
alignas(16) const uint64_t FOLD_512[2] = {0x154442bd4, 0x1c6e41596};
alignas(16) const uint64_t FOLD_128[2] = {0x1751997d0, 0x0ccaa009e};
alignas(16) const uint64_t FOLD_64[2] = {0x163cd6124, 0};
alignas(16) const uint64_t BARRETT[2] = {0x1db710641, 0x1f7011641};

// One lane folded over `by` and the next 128 bits of data added.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i by,
                                                             __m128i data) {
    __m128i low = _mm_clmulepi64_si128(lane, by, 0x00);
    __m128i high = _mm_clmulepi64_si128(lane, by, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), data);
}

// length >= 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_by_folding(uint32_t c,
                                                                   const unsigned char* p,
                                                                   size_t length) {
    const __m128i* in = reinterpret_cast<const __m128i*>(p);
    __m128i l1 = _mm_xor_si128(_mm_loadu_si128(in), _mm_cvtsi32_si128(int(c)));
    __m128i l2 = _mm_loadu_si128(in + 1);
    __m128i l3 = _mm_loadu_si128(in + 2);
    __m128i l4 = _mm_loadu_si128(in + 3);
    in += 4;
    length -= 64;
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(FOLD_512));
    while (length >= 64) {
        l1 = fold(l1, k, _mm_loadu_si128(in));
        l2 = fold(l2, k, _mm_loadu_si128(in + 1));
        l3 = fold(l3, k, _mm_loadu_si128(in + 2));
        l4 = fold(l4, k, _mm_loadu_si128(in + 3));
        in += 4;
        length -= 64;
    }
    // Four lanes into one, then the remaining 16-byte blocks.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(FOLD_128));
    __m128i x = fold(l1, k, l2);
    x = fold(x, k, l3);
    x = fold(x, k, l4);
    while (length >= 16) {
        x = fold(x, k, _mm_loadu_si128(in));
        ++in;
        length -= 16;
    }
    // 128 bits to 64.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, k, 0x10));
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(FOLD_64));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k, 0x00), _mm_srli_si128(x, 4));
    // Barrett reduction to 32 bits.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(BARRETT));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), k, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), k, 0x00);
    return uint32_t(_mm_extract_epi32(_mm_xor_si128(x, q), 1));
}

bool folding_available() {
    static const bool available =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return available;
}

#endif

}  // namespace

uint32_t crc32_update(uint32_t crc, const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = ~crc;
#if BRINDLEX_CRC32_FOLDING
    if (length >= 64 && folding_available()) {
        size_t folded = length & ~size_t(15);
        c = crc32_by_folding(c, p, folded);
        p += folded;
        length -= folded;
    }
#endif
    return ~crc32_by_tables(c, p, length);
}

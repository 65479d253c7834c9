// The check value against a bit-at-a-time CRC-32 written from its
// definition, for every length around the sizes where the fast way hands
// over to the tables, from every alignment, in pieces and whole.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "package_content.h"

namespace {

uint32_t crc32_by_bits(const unsigned char* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

TEST(Crc32, MatchesTheDefinitionForEveryLengthAlignmentAndSplit) {
    EXPECT_EQ(0xCBF43926u, crc32_update(0, "123456789", 9));
    EXPECT_EQ(0u, crc32_update(0, "", 0));
    std::vector<unsigned char> data(5000 + 16);
    uint32_t x = 12345;
    for (unsigned char& b : data) b = (x = x * 1103515245u + 12345u) >> 24;
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t n = 0; n < 300; ++n) {
            uint32_t want = crc32_by_bits(data.data() + offset, n);
            ASSERT_EQ(want, crc32_update(0, data.data() + offset, n)) << offset << " " << n;
        }
    }
    for (size_t n : {1023u, 1024u, 4095u, 4096u, 5000u}) {
        uint32_t want = crc32_by_bits(data.data() + 3, n);
        EXPECT_EQ(want, crc32_update(0, data.data() + 3, n)) << n;
        // In two pieces, cut anywhere.
        for (size_t cut : {size_t(1), size_t(63), size_t(64), n / 2, n - 17}) {
            uint32_t c = crc32_update(0, data.data() + 3, cut);
            EXPECT_EQ(want, crc32_update(c, data.data() + 3 + cut, n - cut)) << n << " " << cut;
        }
    }
    std::vector<unsigned char> zeros(1 << 20, 0), ones(1 << 20, 0xFF);
    EXPECT_EQ(crc32_by_bits(zeros.data(), zeros.size()),
              crc32_update(0, zeros.data(), zeros.size()));
    EXPECT_EQ(crc32_by_bits(ones.data(), ones.size()), crc32_update(0, ones.data(), ones.size()));
}

}  // namespace

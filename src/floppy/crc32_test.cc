#include "floppy/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

// Bit-at-a-time reference of the same checksum.
static uint32_t reference_crc(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

TEST(Crc32, KnownValues) {
    EXPECT_EQ(crc32_ieee("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_ieee("", 0), 0u);
    const char* fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(crc32_ieee(fox, strlen(fox)), 0x414FA339u);
}

TEST(Crc32, MatchesReferenceAtEveryLengthAndAlignment) {
    std::mt19937 rng(5);
    std::vector<uint8_t> data(1800);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t n = 0; n + offset <= data.size(); n += 1 + n / 17) {
            ASSERT_EQ(crc32_ieee(data.data() + offset, n), reference_crc(data.data() + offset, n))
                << "offset " << offset << " length " << n;
        }
    }
}

TEST(Crc32, UpdateContinuesAChecksum) {
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    uint32_t whole = crc32_ieee(data.data(), data.size());
    for (size_t cut : {0u, 1u, 15u, 16u, 17u, 500u, 999u, 1000u}) {
        uint32_t first = crc32_ieee(data.data(), cut);
        EXPECT_EQ(crc32_ieee_update(first, data.data() + cut, data.size() - cut), whole) << cut;
    }
}

#include "partition_table.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string chs_hex(const DiskGeometry& geometry, uint32_t lba) {
    uint8_t chs[3];
    encode_chs(geometry, lba, chs);
    char text[8];
    snprintf(text, sizeof text, "%02x%02x%02x", chs[0], chs[1], chs[2]);
    return text;
}

TEST(PartitionTable, ChsAddressesAroundCylinder1023) {
    // 790 cylinders of 16 heads and 63 sectors, as an older drive reports.
    DiskGeometry small = make_geometry(790ull * 16 * 63 * 512 + 511, 16, 63);
    EXPECT_EQ(small.cylinders, 790u);
    EXPECT_EQ(small.total_sectors, 790ull * 16 * 63);
    EXPECT_EQ(chs_hex(small, 0), "000100");
    EXPECT_EQ(chs_hex(small, 63), "010100");
    EXPECT_EQ(chs_hex(small, 16 * 63 * 300 + 5 * 63 + 7), "05482c");  // 300/5/8

    DiskGeometry big = make_geometry(2000ull * 16065 * 512, 255, 63);
    uint32_t last_addressable = 1024 * 16065 - 1;  // 1023/254/63
    EXPECT_EQ(chs_hex(big, last_addressable), "feffff");
    EXPECT_EQ(chs_hex(big, last_addressable + 1), "feffff");  // 1024/0/1 clamped
    EXPECT_EQ(chs_hex(big, 1023 * 16065), "00c1ff");          // 1023/0/1 exact
}

TEST(PartitionTable, SmallHeadCountGeometryAndLineNumbersInErrors) {
    DiskGeometry geometry = make_geometry(790ull * 16 * 63 * 512, 16, 63);
    PartitionEntry entries[PARTITION_ENTRIES];
    char error[200];
    const char input[] = " 0 , 21 , 83 , *\r\n21,769,83,*";  // blanks, CR, no final newline
    ASSERT_TRUE(parse_partition_input(input, strlen(input), geometry, entries, error, sizeof error))
        << error;
    EXPECT_EQ(entries[0].start_sector, 63u);
    EXPECT_EQ(entries[0].sector_count, 21u * 1008 - 63);
    EXPECT_EQ(entries[0].boot_flag, 0x80);
    EXPECT_EQ(entries[1].start_sector, 21u * 1008);
    EXPECT_EQ(entries[1].sector_count, 769u * 1008);
    EXPECT_FALSE(partition_entry_used(entries[2]));

    const char bad[] = "0,21,83,*\n21,770,83\n";
    EXPECT_FALSE(parse_partition_input(bad, strlen(bad), geometry, entries, error, sizeof error));
    EXPECT_STREQ(error, "line 2: cylinders 21 to 790 lie beyond the disk's 790 cylinders");

    // One head: cylinder 0 is the boot record's track alone.
    DiskGeometry one_head = make_geometry(10 * 63 * 512, 1, 63);
    const char tiny[] = "0,1,83\n";
    EXPECT_FALSE(parse_partition_input(tiny, strlen(tiny), one_head, entries, error, sizeof error));
    EXPECT_STREQ(error, "line 1: partition holds no sectors");
}

}  // namespace

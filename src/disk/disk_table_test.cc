#include "disk/disk_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A stream over a fixed text, as the partitioning tool would write it.
struct TextStream {
    std::string text;
    FILE* file;
    explicit TextStream(std::string t) : text(std::move(t)) {
        file = fmemopen(&text[0], text.size(), "r");
    }
    ~TextStream() { fclose(file); }
};

TEST(DiskGeometry, LayoutFlagsFollowCylindersAndSize) {
    DiskInfo disk{};
    set_disk_geometry(disk, 1023, 8225280);
    EXPECT_FALSE(disk.has_boot_partition);
    set_disk_geometry(disk, 1024, 8225280);
    EXPECT_TRUE(disk.has_boot_partition);
    EXPECT_EQ(disk.cylinders, 1024u);
    EXPECT_EQ(disk.bytes_per_cylinder, 8225280u);

    // 80 cylinders of 524,288 bytes are exactly 40 MiB: no journal.
    set_disk_geometry(disk, 80, 524288);
    EXPECT_FALSE(disk.use_journal);
    set_disk_geometry(disk, 81, 524288);
    EXPECT_TRUE(disk.use_journal);
    // The product is formed in 64 bits: 2^32 bytes do not wrap to zero.
    set_disk_geometry(disk, 65536, 65536);
    EXPECT_TRUE(disk.use_journal);
}

TEST(DiskGeometry, ClearKeepsBytesPerCylinder) {
    DiskInfo disk;
    memset(&disk, 0x5a, sizeof(disk));
    disk.bytes_per_cylinder = 77;
    clear_disk_info(disk);
    EXPECT_STREQ(disk.device, "");
    EXPECT_EQ(disk.device[31], 0);
    EXPECT_EQ(disk.cylinders, 0u);
    EXPECT_FALSE(disk.has_boot_partition);
    EXPECT_FALSE(disk.use_journal);
    EXPECT_EQ(disk.bytes_per_cylinder, 77u);
}

TEST(GeometryReport, ParsesTheToolsLine) {
    DiskInfo disk;
    memset(&disk, 0x5a, sizeof(disk));
    ASSERT_TRUE(parse_geometry_line("/dev/hda: 790 cylinders, 16 heads, 63 sectors/track", disk));
    EXPECT_STREQ(disk.device, "/dev/hda");
    for (size_t i = strlen("/dev/hda"); i < sizeof(disk.device); ++i) EXPECT_EQ(disk.device[i], 0);
    EXPECT_EQ(disk.cylinders, 790u);
    EXPECT_EQ(disk.bytes_per_cylinder, 516096u);
    EXPECT_FALSE(disk.has_boot_partition);
    EXPECT_TRUE(disk.use_journal);

    ASSERT_TRUE(parse_geometry_line("/dev/hdc 1044 cylinders, 255 heads, 63 sectors/track", disk));
    EXPECT_STREQ(disk.device, "/dev/hdc");  // no colon: name unchanged
    EXPECT_EQ(disk.bytes_per_cylinder, 8225280u);
    EXPECT_TRUE(disk.has_boot_partition);
}

TEST(GeometryReport, RejectsLinesThatAreNotAUsableDisk) {
    DiskInfo disk{};
    EXPECT_FALSE(parse_geometry_line("Disk /dev/hda: 790 cylinders, 16 heads, 63 sectors", disk));
    EXPECT_FALSE(parse_geometry_line("/dev/hda: unknown geometry", disk));
    EXPECT_FALSE(parse_geometry_line("/dev/hda: 790 cylinders, 16 heads", disk));
    EXPECT_FALSE(parse_geometry_line("/dev/hda: 0 cylinders, 16 heads, 63 sectors/track", disk));
    EXPECT_FALSE(parse_geometry_line("/dev/hda: 790 cylinders, 0 heads, 63 sectors/track", disk));

    // A name of 31 characters (and its colon) fits; one of 32 does not.
    std::string fits = "/dev/" + std::string(26, 'x');
    ASSERT_TRUE(parse_geometry_line((fits + ": 9 cylinders, 2 heads, 4 sectors").c_str(), disk));
    EXPECT_EQ(std::string(disk.device), fits);
    std::string too_long = fits + "y";
    EXPECT_FALSE(
        parse_geometry_line((too_long + ": 9 cylinders, 2 heads, 4 sectors").c_str(), disk));
    std::string far_too_long = "/dev/" + std::string(90, 'z');
    EXPECT_FALSE(
        parse_geometry_line((far_too_long + ": 9 cylinders, 2 heads, 4 sectors").c_str(), disk));
}

TEST(GeometryReport, FillsAtMostFourEntries) {
    TextStream report(
        "/dev/hda: 50 cylinders, 255 heads, 63 sectors/track\n"
        "/dev/hda: unknown geometry\n"
        "/dev/hdb: 1100 cylinders, 255 heads, 63 sectors/track\n"
        "/dev/hdc: 5 cylinders, 255 heads, 63 sectors/track\n"
        "/dev/hdd: 790 cylinders, 16 heads, 63 sectors/track\n"
        "/dev/hde: 790 cylinders, 16 heads, 63 sectors/track\n");
    DiskInfo table[DISK_TABLE_SIZE + 1] = {};
    strcpy(table[DISK_TABLE_SIZE].device, "untouched");
    ASSERT_EQ(fill_disk_table(report.file, table), 4);
    EXPECT_STREQ(table[0].device, "/dev/hda");
    EXPECT_EQ(table[0].cylinders, 50u);
    EXPECT_STREQ(table[1].device, "/dev/hdb");
    EXPECT_TRUE(table[1].has_boot_partition);
    EXPECT_STREQ(table[2].device, "/dev/hdc");
    EXPECT_FALSE(table[2].use_journal);
    EXPECT_STREQ(table[3].device, "/dev/hdd");
    EXPECT_STREQ(table[4].device, "untouched");
    // The fifth disk's line is left unread.
    char rest[80] = "";
    ASSERT_NE(fgets(rest, sizeof(rest), report.file), nullptr);
    EXPECT_EQ(strncmp(rest, "/dev/hde", 8), 0);
}

TEST(GeometryReport, AnOverlongLineIsSkippedWhole) {
    // 200 characters: its tail must not be read as a line of its own.
    std::string line =
        "/dev/hda: 50 cylinders, 255 heads, 63 sectors/track" + std::string(149, ' ');
    line += "/dev/hdq: 9 cylinders, 255 heads, 63 sectors/track";
    TextStream report(line + "\n/dev/hdb: 7 cylinders, 255 heads, 63 sectors/track");
    DiskInfo table[DISK_TABLE_SIZE] = {};
    ASSERT_EQ(fill_disk_table(report.file, table), 1);
    EXPECT_STREQ(table[0].device, "/dev/hdb");  // the last line needs no newline
    EXPECT_EQ(table[0].cylinders, 7u);

    TextStream empty("");
    EXPECT_EQ(fill_disk_table(empty.file, table), 0);
}

TEST(DiskDisplayName, NamesTheFourIdePositions) {
    EXPECT_STREQ(disk_display_name("/dev/hda"), "IDE Primary master (disk C)");
    EXPECT_STREQ(disk_display_name("/dev/hdb"), "IDE Primary slave (disk D)");
    EXPECT_STREQ(disk_display_name("/dev/hdc"), "IDE Secondary master (disk E)");
    EXPECT_STREQ(disk_display_name("/dev/hdd"), "IDE Secondary slave (disk F)");
    const char* partition = "/dev/hda1";
    EXPECT_EQ(disk_display_name(partition), partition);
    EXPECT_STREQ(disk_display_name("/dev/hde"), "/dev/hde");
    EXPECT_STREQ(disk_display_name("/dev/hd"), "/dev/hd");
}

}  // namespace

#include "disk/partitioning.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "disk/disk_table.h"

namespace {

DiskInfo disk_of(const char* device, uint32_t cylinders, uint32_t bytes_per_cylinder) {
    DiskInfo disk{};
    strcpy(disk.device, device);
    set_disk_geometry(disk, cylinders, bytes_per_cylinder);
    return disk;
}

std::string table_text(const DiskInfo& disk, int old_entries) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    write_partition_table(out, disk, old_entries);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
}

TEST(Partitioning, BootPartitionIsTenMegabytesInWholeCylinders) {
    EXPECT_EQ(boot_partition_cylinders(disk_of("/dev/hda", 1044, 8225280)), 2u);
    EXPECT_EQ(boot_partition_cylinders(disk_of("/dev/hda", 2000, 516096)), 21u);
    EXPECT_EQ(boot_partition_cylinders(disk_of("/dev/hda", 2000, 10485760)), 1u);
    EXPECT_EQ(boot_partition_cylinders(disk_of("/dev/hda", 2000, 10485761)), 1u);
    EXPECT_EQ(boot_partition_cylinders(disk_of("/dev/hda", 2000, 5242880)), 2u);
}

TEST(Partitioning, TableTextForBothLayouts) {
    DiskInfo two = disk_of("/dev/hda", 1044, 8225280);
    EXPECT_EQ(table_text(two, 4), "0,2,83,*\n2,1042,83,*\n0,0,0\n0,0,0\n");
    EXPECT_EQ(table_text(two, 0), "0,2,83,*\n2,1042,83,*\n");
    EXPECT_EQ(table_text(two, 2), "0,2,83,*\n2,1042,83,*\n");

    DiskInfo one = disk_of("/dev/hda", 50, 8225280);
    EXPECT_EQ(table_text(one, 4), "0,50,83,*\n0,0,0\n0,0,0\n0,0,0\n");
    EXPECT_EQ(table_text(one, 0), "0,50,83,*\n");
    EXPECT_EQ(table_text(one, 1), "0,50,83,*\n");
}

TEST(Partitioning, CountsDumpEntriesLineByLine) {
    std::string dump =
        "# partition table of /dev/hda\n"
        "unit: cylinders\n"
        "\n"
        "/dev/hda1 : start=        0, size=    2, Id=83, bootable\n"
        "/dev/hda2 : start=        2, size= 1042, Id=83, bootable\n"
        "/dev/hda3 : start=        0, size=    0, Id= 0\n" +
        // An over-long comment line whose tail looks like an entry.
        std::string("# ") + std::string(300, '-') + "/dev/hdaX : start=0\n" +
        "/dev/hda4 : start=        0, size=    0, Id= 0";
    FILE* in = fmemopen(&dump[0], dump.size(), "r");
    EXPECT_EQ(count_dump_entries(in), 4);
    fclose(in);
}

TEST(Partitioning, PartitionPathsAreBounded) {
    DiskInfo disk = disk_of("/dev/hdc", 50, 8225280);
    char path[80];
    ASSERT_TRUE(partition_path(path, sizeof(path), disk, 2));
    EXPECT_STREQ(path, "/dev/hdc2");
    char small[9];
    EXPECT_FALSE(partition_path(small, sizeof(small), disk, 1));
}

}  // namespace

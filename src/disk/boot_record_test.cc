#include "disk/boot_record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "disk/boot_program.h"

namespace {

// A disk image file of 64 sectors with a partition table in sector 0.
struct DiskImage {
    char path[32];
    std::string original;
    DiskImage() {
        strcpy(path, "/tmp/bootrec.XXXXXX");
        int fd = mkstemp(path);
        if (fd < 0) abort();
        original.resize(64 * SECTOR_SIZE);
        for (size_t i = 0; i < original.size(); ++i) original[i] = char(i * 13 + 1);
        original[510] = char(0x55);
        original[511] = char(0xAA);
        if (write(fd, original.data(), original.size()) != ssize_t(original.size())) abort();
        close(fd);
    }
    ~DiskImage() { unlink(path); }
    std::string contents() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
};

DiskInfo disk_at(const char* path) {
    DiskInfo disk{};
    snprintf(disk.device, sizeof(disk.device), "%s", path);
    return disk;
}

TEST(BootRecord, ReplacesTheCodeAndKeepsThePartitionTable) {
    DiskImage image;
    ASSERT_TRUE(write_boot_record(disk_at(image.path)));
    std::string after = image.contents();
    ASSERT_EQ(after.size(), image.original.size());
    EXPECT_EQ(memcmp(after.data(), boot_program, 184), 0);
    EXPECT_EQ(after.substr(184, 446 - 184), std::string(446 - 184, '\0'));
    EXPECT_TRUE(after.substr(446) == image.original.substr(446));
    EXPECT_EQ(after.substr(510, 2), "\x55\xAA");
}

TEST(BootRecord, ReportsWhatFailed) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(write_boot_record(disk_at("/tmp/bootrec-missing-device")));
    std::string missing = testing::internal::GetCapturedStderr();
    EXPECT_EQ(missing.rfind("could not open MBR: ", 0), 0u) << missing;

    DiskImage image;
    ASSERT_EQ(truncate(image.path, 100), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(write_boot_record(disk_at(image.path)));
    std::string short_read = testing::internal::GetCapturedStderr();
    EXPECT_EQ(short_read.rfind("could not read MBR", 0), 0u) << short_read;
    EXPECT_TRUE(image.contents() == image.original.substr(0, 100));  // nothing written
}

}  // namespace

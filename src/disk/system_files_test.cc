#include "disk/system_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "disk/disk_table.h"

namespace {

// A fresh temporary directory standing in for the new root.
struct TempRoot {
    char path[32];
    TempRoot() {
        strcpy(path, "/tmp/sysfiles.XXXXXX");
        if (mkdtemp(path) == nullptr) abort();
    }
    ~TempRoot() {
        std::string command = std::string("rm -rf ") + path;
        if (system(command.c_str()) != 0) perror("rm");
    }
    std::string file(const char* name) const { return std::string(path) + name; }
};

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

mode_t mode_of(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

DiskInfo disk_of(const char* device, uint32_t cylinders, uint32_t bytes_per_cylinder) {
    DiskInfo disk{};
    strcpy(disk.device, device);
    set_disk_geometry(disk, cylinders, bytes_per_cylinder);
    return disk;
}

const DiskInfo TWO_JOURNAL = disk_of("/dev/hda", 1044, 8225280);
const DiskInfo TWO_PLAIN = disk_of("/dev/hda", 1024, 512);  // 512 KiB: no journal
const DiskInfo ONE_JOURNAL = disk_of("/dev/hdc", 50, 8225280);
const DiskInfo ONE_PLAIN = disk_of("/dev/hda", 5, 8225280);  // 41,126,400 bytes

TEST(LiloConf, NamesPartitionOneAndTheRootPartition) {
    TempRoot root;
    ASSERT_TRUE(write_lilo_conf(TWO_JOURNAL, root.path));
    EXPECT_EQ(contents(root.file("/etc/lilo.conf")),
              "boot=/dev/hda1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
              "image=/boot/vmlinuz\n  label=System\n  root=/dev/hda2\n  read-only\n");
    EXPECT_EQ(mode_of(root.file("/etc/lilo.conf")), 0644u);
    struct stat etc;
    ASSERT_EQ(stat(root.file("/etc").c_str(), &etc), 0);
    EXPECT_TRUE(S_ISDIR(etc.st_mode));

    // Written again for another disk: replaced, not appended.
    ASSERT_TRUE(write_lilo_conf(ONE_JOURNAL, root.path));
    EXPECT_EQ(contents(root.file("/etc/lilo.conf")),
              "boot=/dev/hdc1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
              "image=/boot/vmlinuz\n  label=System\n  root=/dev/hdc1\n  read-only\n");
    EXPECT_FALSE(exists(root.file("/.nofsck")));  // only the mount table writes the marker
}

TEST(Fstab, TwoPartitionLayout) {
    TempRoot root;
    ASSERT_TRUE(write_fstab(TWO_JOURNAL, root.path));
    EXPECT_EQ(contents(root.file("/etc/fstab")),
              "/dev/hda2  /     ext3 defaults 1 1\n"
              "/dev/hda1  /boot ext2 defaults 1 2\n"
              "none /proc proc defaults 0 0\n"
              "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_EQ(mode_of(root.file("/etc/fstab")), 0644u);
    EXPECT_TRUE(exists(root.file("/.nofsck")));
    EXPECT_EQ(contents(root.file("/.nofsck")), "");

    TempRoot plain;
    ASSERT_TRUE(write_fstab(TWO_PLAIN, plain.path));
    EXPECT_EQ(contents(plain.file("/etc/fstab")),
              "/dev/hda2  /     ext2 defaults 1 1\n"
              "/dev/hda1  /boot ext2 defaults 1 2\n"
              "none /proc proc defaults 0 0\n"
              "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_FALSE(exists(plain.file("/.nofsck")));
}

TEST(Fstab, SinglePartitionLayoutAndRewriting) {
    TempRoot root;
    ASSERT_TRUE(write_fstab(ONE_JOURNAL, root.path));
    EXPECT_EQ(contents(root.file("/etc/fstab")),
              "/dev/hdc1  /     ext3 defaults 1 1\n"
              "none /proc proc defaults 0 0\n"
              "none /dev/pts devpts gid=5,mode=620 0 0\n");
    EXPECT_TRUE(exists(root.file("/.nofsck")));

    // The shorter table of a second run leaves nothing of the first behind.
    ASSERT_TRUE(write_fstab(ONE_PLAIN, root.path));
    EXPECT_EQ(contents(root.file("/etc/fstab")),
              "/dev/hda1  /     ext2 defaults 1 1\n"
              "none /proc proc defaults 0 0\n"
              "none /dev/pts devpts gid=5,mode=620 0 0\n");

    TempRoot plain;
    ASSERT_TRUE(write_fstab(ONE_PLAIN, plain.path));
    EXPECT_FALSE(exists(plain.file("/.nofsck")));
}

TEST(SystemFiles, FailWhenTheFileCannotBeCreated) {
    TempRoot root;
    // etc is a plain file: the directory cannot be made, the open decides.
    std::ofstream(root.file("/etc")) << "x";
    EXPECT_FALSE(write_lilo_conf(ONE_JOURNAL, root.path));
    EXPECT_FALSE(write_fstab(ONE_JOURNAL, root.path));
    EXPECT_FALSE(exists(root.file("/.nofsck")));
    EXPECT_EQ(contents(root.file("/etc")), "x");

    // A root whose paths do not fit the 80-byte buffers is refused, not cut.
    std::string deep = std::string(root.path) + "/" + std::string(60, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    EXPECT_FALSE(write_fstab(ONE_JOURNAL, deep.c_str()));
    EXPECT_FALSE(exists(deep.substr(0, 79)));  // what a cut path would have created
}

}  // namespace

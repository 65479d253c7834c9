// The media builders as a media maker runs them: their exit status, what
// they say, and what is on the images they write (read back with xorriso
// and mtools, never mounted).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "package_directory.h"

namespace {

// What one run of a program left behind.
struct ToolRun {
    int status = -1;  // exit code, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text;
}

void spill(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

ToolRun run(const std::vector<std::string>& argv) {
    char out_name[] = "/tmp/media-test-out-XXXXXX";
    char err_name[] = "/tmp/media-test-err-XXXXXX";
    int out = mkstemp(out_name);
    int err = mkstemp(err_name);
    pid_t child = fork();
    if (child == 0) {
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(out);
    close(err);
    ToolRun result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(out_name);
    result.err = slurp(err_name);
    unlink(out_name);
    unlink(err_name);
    return result;
}

// The names in a directory (hidden ones too), sorted.
std::vector<std::string> listing(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The boot menu a builder writes, for the mode's kernel words and the
// media maker's extra words.
std::string expected_boot_menu(const std::string& words) {
    return "SERIAL 0 115200\n"
           "PROMPT 1\n"
           "TIMEOUT 50\n"
           "DEFAULT install\n"
           "LABEL install\n"
           "  KERNEL /boot/vmlinuz\n"
           "  APPEND initrd=/boot/initrd.gz quiet loglevel=0 panic=0 " +
           words +
           "\n"
           "LABEL serial\n"
           "  KERNEL /boot/vmlinuz\n"
           "  APPEND initrd=/boot/initrd.gz console=ttyS0,115200 quiet loglevel=0 panic=0 " +
           words + "\n";
}

// A workspace: packages, a stand-in boot system and an output folder.
class MediaBuilder : public ::testing::Test {
  protected:
    PackageDirectory packages;
    std::string root;
    std::string bootsys;
    std::string out;

    void SetUp() override {
        char name[] = "/tmp/media-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
        bootsys = root + "/bootsys";
        out = root + "/out";
        std::filesystem::create_directories(bootsys);
        std::filesystem::create_directories(out);
        spill(bootsys + "/vmlinuz", "the kernel");
        spill(bootsys + "/initrd.gz", "the initial RAM disk");
        spill(root + "/autorun.scr", "/ip address add address=10.0.0.2/24\n");
        packages.add("system.vpk", "system", {}, "Base system");
        packages.add("ppp.vpk", "ppp", {"system"}, "Point-to-point");
    }
    void TearDown() override { std::filesystem::remove_all(root); }

    // A first-sector image of size bytes: 0, 1, 2, ...
    std::string sector_file(size_t size) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = char(i);
        std::string path = root + "/mbr" + std::to_string(size);
        spill(path, bytes);
        return path;
    }

    // Extracts path from the CD image into a file and returns its bytes.
    std::string from_cd(const std::string& iso, const std::string& path) {
        std::string target = root + "/extracted";
        std::filesystem::remove(target);
        ToolRun r = run({"xorriso", "-osirrox", "on", "-indev", iso, "-extract", path, target});
        EXPECT_EQ(r.status, 0) << r.err;
        return slurp(target);
    }
    // A file of the image's FAT volume, read with mtools.
    std::string from_volume(const std::string& image, const std::string& path) {
        ToolRun r = run({"env", "MTOOLS_SKIP_CHECK=1", "mtype", "-i", image, "::" + path});
        EXPECT_EQ(r.status, 0) << path << ": " << r.err;
        return r.out;
    }
    // The names in a folder of the volume (hidden ones too), one a line.
    std::string volume_files(const std::string& image, const std::string& folder) {
        return run({"env", "MTOOLS_SKIP_CHECK=1", "mdir", "-a", "-b", "-i", image, "::" + folder})
            .out;
    }
    // The image builder's arguments for the packages and boot system here.
    std::vector<std::string> image_args(std::vector<std::string> options,
                                        const std::string& output) {
        std::vector<std::string> args = {MAKE_DISK_IMAGE, "--size", "16", "--script",
                                         root + "/autorun.scr"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {packages.path(), bootsys, output});
        return args;
    }
    // Every file on the CD, one path a line.
    std::string cd_files(const std::string& iso) {
        return run({"xorriso", "-indev", iso, "-find", "/", "-type", "f", "--"}).out;
    }
};

TEST_F(MediaBuilder, InstallCdCarriesPackagesBootSystemAndBootLoader) {
    packages.add_raw("defpacks", "ppp\n");
    packages.add_raw("README", "not a package");
    std::string iso = out + "/install.iso";
    ToolRun r = run({MAKE_CD, "--append", "brindlex.ide=2", packages.path(), bootsys, iso});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "brindlex-make-cd: wrote " + iso + "\n");
    EXPECT_EQ(listing(out), std::vector<std::string>{"install.iso"});

    std::string files = cd_files(iso);
    for (const char* path :
         {"'/system.vpk'", "'/ppp.vpk'", "'/defpacks'", "'/boot/vmlinuz'", "'/boot/initrd.gz'",
          "'/isolinux/isolinux.bin'", "'/isolinux/ldlinux.c32'", "'/isolinux/isolinux.cfg'"}) {
        EXPECT_NE(files.find(path), std::string::npos) << path << " missing in\n" << files;
    }
    EXPECT_EQ(files.find("README"), std::string::npos) << files;
    EXPECT_EQ(from_cd(iso, "/ppp.vpk"), slurp(packages.path() + "/ppp.vpk"));
    EXPECT_EQ(from_cd(iso, "/defpacks"), "ppp\n");
    EXPECT_EQ(from_cd(iso, "/boot/vmlinuz"), "the kernel");
    EXPECT_EQ(from_cd(iso, "/boot/initrd.gz"), "the initial RAM disk");
    EXPECT_EQ(from_cd(iso, "/isolinux/isolinux.cfg"),
              expected_boot_menu("brindlex.type=cdrom%0A brindlex.ide=2"));

    // A BIOS boot image without emulation: the boot loader, 4 sectors loaded.
    std::string torito = run({"xorriso", "-indev", iso, "-report_el_torito", "plain"}).out;
    EXPECT_NE(torito.find("El Torito boot img :   1  BIOS  y   none"), std::string::npos) << torito;
    EXPECT_NE(torito.find("/isolinux/isolinux.bin"), std::string::npos) << torito;

    // --serial makes the serial entry the one that boots by itself.
    ASSERT_EQ(run({MAKE_CD, "--serial", packages.path(), bootsys, iso}).status, 0);
    std::string config = from_cd(iso, "/isolinux/isolinux.cfg");
    EXPECT_NE(config.find("DEFAULT serial\n"), std::string::npos) << config;
}

TEST_F(MediaBuilder, InstallCdWarnsOfDependenciesWithoutAPackage) {
    packages.add("web.vpk", "web", {"ppp", "httpd"});
    ToolRun r = run({MAKE_CD, packages.path(), bootsys, out + "/cd.iso"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "warning: package web depends on httpd, which no package provides\n");
}

TEST_F(MediaBuilder, InstallCdRefusalsLeaveNoImage) {
    std::string iso = out + "/cd.iso";
    // Bad arguments.
    ToolRun r = run({MAKE_CD, packages.path()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Usage: brindlex-make-cd"), std::string::npos) << r.err;
    r = run({MAKE_CD, packages.path(), bootsys, iso, out + "/more"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("two or three arguments are needed"), std::string::npos) << r.err;
    r = run({MAKE_CD, "--size", "3", packages.path(), bootsys, iso});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option --size"), std::string::npos) << r.err;
    r = run({MAKE_CD, packages.path(), bootsys, iso, "--append"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--append needs a value"), std::string::npos) << r.err;

    // An earlier image under the name stays as it was.
    spill(iso, "an earlier image");

    // No boot system.
    r = run({MAKE_CD, packages.path(), root + "/nowhere", iso});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindlex-make-cd: no boot system in " + root + "/nowhere: " + root +
                         "/nowhere/vmlinuz is missing or empty (make bootsys writes it)\n");

    // A package the installer would refuse: its first part is the description.
    packages.add_raw("broken.vpk", package_bytes({{2, "text"}, {1, name_record("broken")}}));
    r = run({MAKE_CD, packages.path(), bootsys, iso});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindlex-make-cd: the installer would refuse the packages in " +
                         packages.path() + ": FATAL ERROR: Bad package " + packages.path() +
                         "/broken.vpk\n");

    // No package at all.
    std::filesystem::create_directories(root + "/empty");
    r = run({MAKE_CD, root + "/empty", bootsys, iso});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("FATAL ERROR: No packages found"), std::string::npos) << r.err;

    EXPECT_EQ(slurp(iso), "an earlier image");
    EXPECT_EQ(listing(out), std::vector<std::string>{"cd.iso"});
}

TEST_F(MediaBuilder, InstallCdFailingToolLeavesNoImage) {
    // An image tool that writes half an image and fails, found first on PATH.
    std::string tools = root + "/tools";
    std::filesystem::create_directories(tools);
    spill(tools + "/xorriso",
          "#!/bin/sh\n"
          "while [ \"$1\" != -o ]; do shift; done\n"
          "echo half > \"$2\"\n"
          "echo 'xorriso : FAILURE : no space left' >&2\n"
          "exit 5\n");
    chmod((tools + "/xorriso").c_str(), 0755);
    std::string iso = out + "/cd.iso";
    spill(iso, "an earlier image");
    std::string path = "PATH=" + tools + ":" + getenv("PATH");
    ToolRun r = run({"env", path, MAKE_CD, packages.path(), bootsys, iso});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindlex-make-cd: xorriso failed: xorriso : FAILURE : no space left\n");
    EXPECT_EQ(slurp(iso), "an earlier image");
    EXPECT_EQ(listing(out), std::vector<std::string>{"cd.iso"});
}

TEST_F(MediaBuilder, DiskImageIsOneBootableFatVolume) {
    packages.add_raw("defpacks", "ppp\n");
    std::string image = out + "/router.img";
    std::string mbr = sector_file(600);
    ToolRun r = run(image_args({"--mbr", mbr, "--append", "brindlex.ide=1"}, image));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "warning: only the first 512 bytes of " + mbr + " are written\n");
    EXPECT_EQ(r.out, "brindlex-make-disk-image: wrote " + image +
                         "; the installing PC needs at least 61 MiB of memory\n");
    EXPECT_EQ(listing(out), std::vector<std::string>{"router.img"});
    EXPECT_EQ(std::filesystem::file_size(image), 16u << 20);

    // The whole device is the volume: its boot sector is sector 0.
    std::string sector = slurp(image).substr(0, 512);
    EXPECT_EQ(sector.substr(510), "\x55\xaa");
    EXPECT_EQ(sector.substr(3, 8), "SYSLINUX");
    EXPECT_EQ(sector.substr(54, 8), "FAT16   ");

    EXPECT_EQ(volume_files(image, "/"),
              "::/boot/\n::/system.vpk\n::/ppp.vpk\n::/defpacks\n::/autorun.scr\n::/mbr\n");
    EXPECT_EQ(volume_files(image, "/boot/syslinux"),
              "::/boot/syslinux/syslinux.cfg\n::/boot/syslinux/ldlinux.sys\n"
              "::/boot/syslinux/ldlinux.c32\n");
    EXPECT_EQ(from_volume(image, "/ppp.vpk"), slurp(packages.path() + "/ppp.vpk"));
    EXPECT_EQ(from_volume(image, "/autorun.scr"), slurp(root + "/autorun.scr"));
    EXPECT_EQ(from_volume(image, "/mbr"), slurp(mbr));  // whole: the installer cuts it
    EXPECT_EQ(from_volume(image, "/boot/vmlinuz"), "the kernel");
    EXPECT_EQ(from_volume(image, "/boot/initrd.gz"), "the initial RAM disk");
    EXPECT_EQ(from_volume(image, "/boot/syslinux/syslinux.cfg"),
              expected_boot_menu("brindlex.arg=-hdd-install brindlex.ide=1"));

    // With the menu: CHOOSE instead of mbr; --serial boots the serial entry.
    r = run(image_args({"--choose", "--serial"}, image));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(volume_files(image, "/"),
              "::/boot/\n::/system.vpk\n::/ppp.vpk\n::/defpacks\n::/autorun.scr\n::/CHOOSE\n");
    EXPECT_EQ(from_volume(image, "/CHOOSE"), "");
    std::string config = from_volume(image, "/boot/syslinux/syslinux.cfg");
    EXPECT_NE(config.find("DEFAULT serial\n"), std::string::npos) << config;
}

TEST_F(MediaBuilder, DiskImageRefusalsLeaveNoImage) {
    std::string image = out + "/router.img";
    std::string mbr = sector_file(512);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string said;  // a part of the error output
    };
    std::vector<Case> cases = {
        {{MAKE_DISK_IMAGE, "--size", "16", "--script", "s", packages.path(), bootsys, image},
         2,
         "either --mbr or --choose is needed"},
        {image_args({"--mbr", mbr, "--choose"}, image), 2, "either --mbr or --choose"},
        {{MAKE_DISK_IMAGE, "--size", "16", "--choose", packages.path(), bootsys, image},
         2,
         "--script is needed"},
        {{MAKE_DISK_IMAGE, "--size", "16MB", "--script", "s", "--choose", packages.path(), bootsys,
          image},
         2,
         "--size takes a number of MiB, not 16MB"},
        {{MAKE_DISK_IMAGE, "--script", "s", "--choose", packages.path(), bootsys, image},
         2,
         "--size is needed"},
        {image_args({"--mbr", sector_file(511)}, image), 1,
         "holds 511 bytes; the installer writes 512"},
        {image_args({"--mbr", root + "/none"}, image), 1,
         "the first sector " + root + "/none is not a readable file"},
        {{MAKE_DISK_IMAGE, "--size", "16", "--script", root, "--choose", packages.path(), bootsys,
          image},
         1,
         "the script " + root + " is not a readable file"},
        {{MAKE_DISK_IMAGE, "--size", "1", "--script", root + "/autorun.scr", "--choose",
          packages.path(), bootsys, image},
         1,
         "the files need 3 MiB, more than the 1 MiB of the image"},
        {{MAKE_DISK_IMAGE, "--size", "16", "--script", root + "/autorun.scr", "--choose",
          packages.path(), root, image},
         1,
         "no boot system in " + root},
    };
    spill(image, "an earlier image");
    for (const Case& c : cases) {
        ToolRun r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.said << "\n" << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }

    // More packages than the installer's table holds.
    for (int i = 0; i < 49; ++i) {
        std::string name = "p" + std::to_string(i);
        packages.add(name + ".vpk", name);
    }
    ToolRun r = run(image_args({"--choose"}, image));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindlex-make-disk-image: the installer takes at most 50 packages, " +
                         packages.path() + " holds 51\n");

    EXPECT_EQ(slurp(image), "an earlier image");
    EXPECT_EQ(listing(out), std::vector<std::string>{"router.img"});
}

TEST_F(MediaBuilder, DiskImageFailingToolLeavesNoImage) {
    std::string tools = root + "/tools";
    std::filesystem::create_directories(tools);
    spill(tools + "/mcopy", "#!/bin/sh\necho 'Disk full' >&2\nexit 1\n");
    chmod((tools + "/mcopy").c_str(), 0755);
    std::string image = out + "/router.img";
    std::vector<std::string> args = image_args({"--choose"}, image);
    args.insert(args.begin(), {"env", "PATH=" + tools + ":" + getenv("PATH")});
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindlex-make-disk-image: mcopy failed: Disk full\n");
    EXPECT_EQ(listing(out), std::vector<std::string>{});
}

TEST_F(MediaBuilder, NetbootTreeBootsTheNetworkInstallation) {
    std::string tree = out + "/netboot";
    ToolRun r = run({MAKE_NETBOOT, "--append", "brindlex.ide=1", bootsys, tree + "/"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "brindlex-make-netboot: wrote " + tree + "\n");
    EXPECT_EQ(listing(out), std::vector<std::string>{"netboot"});
    EXPECT_EQ(listing(tree),
              (std::vector<std::string>{"boot", "ldlinux.c32", "pxelinux.0", "pxelinux.cfg"}));
    EXPECT_EQ(listing(tree + "/boot"), (std::vector<std::string>{"initrd.gz", "vmlinuz"}));
    EXPECT_EQ(listing(tree + "/pxelinux.cfg"), std::vector<std::string>{"default"});
    EXPECT_EQ(slurp(tree + "/pxelinux.0"), slurp("/usr/lib/PXELINUX/pxelinux.0"));
    EXPECT_EQ(slurp(tree + "/ldlinux.c32"), slurp("/usr/lib/syslinux/modules/bios/ldlinux.c32"));
    EXPECT_EQ(slurp(tree + "/boot/vmlinuz"), "the kernel");
    EXPECT_EQ(slurp(tree + "/boot/initrd.gz"), "the initial RAM disk");
    EXPECT_EQ(slurp(tree + "/pxelinux.cfg/default"),
              expected_boot_menu("brindlex.type=net%0A brindlex.ide=1"));
    // The TFTP server hands out only what everybody may read.
    struct stat status;
    ASSERT_EQ(stat((tree + "/boot/initrd.gz").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0004, 0004u);

    // An empty folder gives way; --serial makes the serial entry the default.
    std::string second = out + "/second";
    std::filesystem::create_directories(second);
    ASSERT_EQ(run({MAKE_NETBOOT, "--serial", bootsys, second}).status, 0);
    std::string config = slurp(second + "/pxelinux.cfg/default");
    EXPECT_NE(config.find("DEFAULT serial\n"), std::string::npos) << config;
    EXPECT_EQ(listing(out), (std::vector<std::string>{"netboot", "second"}));
}

TEST_F(MediaBuilder, NetbootRefusalsLeaveNothing) {
    std::string tree = out + "/netboot";
    ToolRun r = run({MAKE_NETBOOT});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Usage: brindlex-make-netboot"), std::string::npos) << r.err;
    r = run({MAKE_NETBOOT, bootsys, tree, out + "/more"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("one or two arguments are needed"), std::string::npos) << r.err;
    r = run({MAKE_NETBOOT, "--size", "3", bootsys, tree});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option --size"), std::string::npos) << r.err;
    EXPECT_EQ(listing(out), std::vector<std::string>{});

    r = run({MAKE_NETBOOT, root + "/nowhere", tree});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindlex-make-netboot: no boot system in " + root + "/nowhere: " + root +
                         "/nowhere/vmlinuz is missing or empty (make bootsys writes it)\n");
    EXPECT_EQ(listing(out), std::vector<std::string>{});

    // A folder with something in it, or a file, stays as it was.
    std::filesystem::create_directories(tree);
    spill(tree + "/served", "an earlier tree");
    r = run({MAKE_NETBOOT, bootsys, tree});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brindlex-make-netboot: " + tree +
                         " already exists; name a new folder or remove it first\n");
    EXPECT_EQ(listing(tree), std::vector<std::string>{"served"});
    spill(out + "/file", "a file");
    EXPECT_EQ(run({MAKE_NETBOOT, bootsys, out + "/file"}).status, 1);
    EXPECT_EQ(slurp(out + "/file"), "a file");
    EXPECT_EQ(listing(out), (std::vector<std::string>{"file", "netboot"}));
}

// --boot-only: a small boot CD and a boot image of the floppy set or the
// network installation, with the boot system alone and the mode's /TYPE.
TEST_F(MediaBuilder, BootOnlyMediaCarryTheBootSystemAlone) {
    std::string iso = out + "/floppy-boot.iso";
    ToolRun r = run({MAKE_CD, "--boot-only", "floppy", bootsys, iso});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "brindlex-make-cd: wrote " + iso + "\n");
    std::string files = cd_files(iso);
    EXPECT_EQ(files,
              "'/boot/initrd.gz'\n'/boot/vmlinuz'\n"
              "'/isolinux/isolinux.bin'\n'/isolinux/isolinux.cfg'\n'/isolinux/ldlinux.c32'\n")
        << files;
    EXPECT_EQ(from_cd(iso, "/isolinux/isolinux.cfg"),
              expected_boot_menu("brindlex.type=floppy%0A"));

    std::string net_iso = out + "/net-boot.iso";
    ASSERT_EQ(
        run({MAKE_CD, "--boot-only", "net", "--append", "brindlex.ide=1", bootsys, net_iso}).status,
        0);
    EXPECT_EQ(from_cd(net_iso, "/isolinux/isolinux.cfg"),
              expected_boot_menu("brindlex.type=net%0A brindlex.ide=1"));

    std::string image = out + "/net-boot.img";
    r = run({MAKE_DISK_IMAGE, "--size", "16", "--boot-only", "net", bootsys, image});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "brindlex-make-disk-image: wrote " + image + "\n");
    EXPECT_EQ(volume_files(image, "/"), "::/boot/\n");
    EXPECT_EQ(from_volume(image, "/boot/vmlinuz"), "the kernel");
    EXPECT_EQ(from_volume(image, "/boot/syslinux/syslinux.cfg"),
              expected_boot_menu("brindlex.type=net%0A"));
    EXPECT_EQ(listing(out),
              (std::vector<std::string>{"floppy-boot.iso", "net-boot.img", "net-boot.iso"}));

    // Refusals: another mode, packages or image options beside it.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {MAKE_CD, "--boot-only", "cdrom", bootsys, out + "/x.iso"},
             {MAKE_CD, "--boot-only", "net", packages.path(), bootsys, out + "/x.iso"},
             {MAKE_DISK_IMAGE, "--size", "16", "--boot-only", "floppy", "--choose", bootsys,
              out + "/x.img"},
             {MAKE_DISK_IMAGE, "--boot-only", "floppy", bootsys, out + "/x.img"},
             {MAKE_NETBOOT, "--boot-only", "net", bootsys, out + "/x"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 2) << args[1] << " " << args[2];
    }
    EXPECT_EQ(listing(out),
              (std::vector<std::string>{"floppy-boot.iso", "net-boot.img", "net-boot.iso"}));
}

}  // namespace

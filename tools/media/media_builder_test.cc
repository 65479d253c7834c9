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
        packages.add("system.vpk", "system", {}, "Base system");
        packages.add("ppp.vpk", "ppp", {"system"}, "Point-to-point");
    }
    void TearDown() override { std::filesystem::remove_all(root); }

    // Extracts path from the CD image into a file and returns its bytes.
    std::string from_cd(const std::string& iso, const std::string& path) {
        std::string target = root + "/extracted";
        std::filesystem::remove(target);
        ToolRun r = run({"xorriso", "-osirrox", "on", "-indev", iso, "-extract", path, target});
        EXPECT_EQ(r.status, 0) << r.err;
        return slurp(target);
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
              "SERIAL 0 115200\n"
              "PROMPT 1\n"
              "TIMEOUT 50\n"
              "DEFAULT install\n"
              "LABEL install\n"
              "  KERNEL /boot/vmlinuz\n"
              "  APPEND initrd=/boot/initrd.gz quiet loglevel=0 panic=0 "
              "brindlex.type=cdrom%0A brindlex.ide=2\n"
              "LABEL serial\n"
              "  KERNEL /boot/vmlinuz\n"
              "  APPEND initrd=/boot/initrd.gz console=ttyS0,115200 quiet loglevel=0 panic=0 "
              "brindlex.type=cdrom%0A brindlex.ide=2\n");

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
    ToolRun r = run({MAKE_CD, packages.path(), bootsys});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: brindlex-make-cd"), std::string::npos) << r.err;
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

}  // namespace

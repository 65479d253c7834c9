#include "startup/mode_selection.h"

#include <gtest/gtest.h>

#include "console/console_test_support.h"

namespace {

InstallMode mode_for(const char* type, std::vector<const char*> args) {
    return choose_mode(type, static_cast<int>(args.size()), const_cast<char**>(args.data()));
}

TEST(ModeSelection, TypeWordsAreExactAndCaseSensitive) {
    EXPECT_EQ(mode_for("cdrom", {"/sbin/init"}), InstallMode::CDROM);
    EXPECT_EQ(mode_for("net", {"/sbin/init"}), InstallMode::NETWORK);
    EXPECT_EQ(mode_for("", {"/sbin/init"}), InstallMode::FLOPPIES);
    EXPECT_EQ(mode_for("cdrom ", {"/sbin/init"}), InstallMode::FLOPPIES);
    EXPECT_EQ(mode_for("CDROM", {"/sbin/init"}), InstallMode::FLOPPIES);
    EXPECT_EQ(mode_for("network", {"/sbin/init"}), InstallMode::FLOPPIES);
    EXPECT_EQ(mode_for("floppy", {"/sbin/init"}), InstallMode::FLOPPIES);
}

TEST(ModeSelection, HddInstallArgumentWinsOverTheType) {
    EXPECT_EQ(mode_for("cdrom", {"installer", "-hdd-install"}), InstallMode::DISK_IMAGE);
    EXPECT_EQ(mode_for("net", {"installer", "x", "-hdd-install"}), InstallMode::DISK_IMAGE);
    // Argument 0, or a longer or shorter word, does not count.
    EXPECT_EQ(mode_for("cdrom", {"-hdd-install"}), InstallMode::CDROM);
    EXPECT_EQ(mode_for("", {"installer", "-hdd-installx", "-hdd-instal"}), InstallMode::FLOPPIES);
}

TEST(ModeSelection, OnlyFailedNetworkAndImageInstallationsWaitForEnter) {
    EXPECT_TRUE(waits_for_enter(InstallMode::CDROM, true));
    EXPECT_TRUE(waits_for_enter(InstallMode::CDROM, false));
    EXPECT_TRUE(waits_for_enter(InstallMode::FLOPPIES, true));
    EXPECT_TRUE(waits_for_enter(InstallMode::FLOPPIES, false));
    EXPECT_FALSE(waits_for_enter(InstallMode::NETWORK, true));
    EXPECT_TRUE(waits_for_enter(InstallMode::NETWORK, false));
    EXPECT_FALSE(waits_for_enter(InstallMode::DISK_IMAGE, true));
    EXPECT_TRUE(waits_for_enter(InstallMode::DISK_IMAGE, false));
}

TEST(ModeSelection, TypeFileGivesItsFirstLineWithoutTheNewline) {
    TempDir dir;
    char type[80];
    write_file(dir.file("TYPE"), "cdrom\nnet\n");
    read_install_type(dir.file("TYPE").c_str(), type);
    EXPECT_STREQ(type, "cdrom");

    write_file(dir.file("TYPE"), "net");
    read_install_type(dir.file("TYPE").c_str(), type);
    EXPECT_STREQ(type, "net");

    write_file(dir.file("TYPE"), "");
    read_install_type(dir.file("TYPE").c_str(), type);
    EXPECT_STREQ(type, "");

    write_file(dir.file("TYPE"), std::string(100, 'x') + "\n");
    read_install_type(dir.file("TYPE").c_str(), type);
    EXPECT_EQ(std::string(type), std::string(79, 'x'));

    read_install_type(dir.file("missing").c_str(), type);
    EXPECT_STREQ(type, "");
}

}  // namespace

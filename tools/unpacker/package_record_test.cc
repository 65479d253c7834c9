// The record of installed packages, as the unpacker program leaves it in a
// root and lists it: the exact files, replacement on reinstallation,
// incomplete packages, refused packages, names that are no file names.
#include <unistd.h>

#include "unpacker_test_support.h"

namespace {

using namespace unpacker_test;

class Records : public Scratch {
  protected:
    std::string record(const std::string& file_name) {
        return read_file(root + "/var/pdb/" + file_name);
    }
    RunResult list() { return run(std::string(BRINDLEX_UNPACK) + " -l -r " + root); }
};

TEST_F(Records, EachInstalledPackageIsRecordedWithWhatItWrote) {
    fs::create_directories(dir + "/system/etc/rc.d");
    write_file(dir + "/system/etc/rc.d/rc.postinstall", "#!/bin/sh\n");
    fs::create_symlink("rc.d/rc.postinstall", dir + "/system/etc/postinstall");
    fs::create_directories(dir + "/routing/etc/routing");
    write_file(dir + "/routing/etc/routing/routes.conf", "default\n");
    ASSERT_EQ(0, build("-n system -d 'Base system' --root-owner -o " + dir + "/system.vpk " + dir +
                       "/system")
                     .status);
    ASSERT_EQ(0, build("-n routing -d 'Static routes' -D system -D 'odd\nname' --root-owner -o " +
                       dir + "/routing.vpk " + dir + "/routing")
                     .status);
    EXPECT_EQ(0, list().status);
    EXPECT_EQ("", list().out) << "nothing installed yet";

    RunResult u = unpack(dir + "/system.vpk " + dir + "/routing.vpk");
    ASSERT_EQ(0, u.status) << u.err;
    EXPECT_EQ(
        "name system\n"
        "description Base system\n"
        "path etc\n"
        "path etc/postinstall\n"
        "path etc/rc.d\n"
        "path etc/rc.d/rc.postinstall\n"
        "state complete\n",
        record("system"));
    EXPECT_EQ(
        "name routing\n"
        "description Static routes\n"
        "depends system\n"
        "depends odd\\nname\n"
        "path etc\n"
        "path etc/routing\n"
        "path etc/routing/routes.conf\n"
        "state complete\n",
        record("routing"));
    RunResult l = list();
    EXPECT_EQ(0, l.status) << l.err;
    EXPECT_EQ(
        "routing               3 paths  Static routes; needs system odd\\nname\n"
        "system                4 paths  Base system\n",
        l.out);

    // Installed again with less in it: the record is replaced whole.
    fs::remove(dir + "/routing/etc/routing/routes.conf");
    ASSERT_EQ(0, build("-n routing -d 'Routes, again' --root-owner -o " + dir + "/routing.vpk " +
                       dir + "/routing")
                     .status);
    ASSERT_EQ(0, unpack(dir + "/routing.vpk").status);
    EXPECT_EQ(
        "name routing\n"
        "description Routes, again\n"
        "path etc\n"
        "path etc/routing\n"
        "state complete\n",
        record("routing"));
    // Nothing but the two records is left in the record directory.
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(root + "/var/pdb"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"routing", "system"}), names);
}

TEST_F(Records, IncompleteRefusedAndOddlyNamedPackages) {
    RawPackage partly, later, odd, dotted;
    partly.ident("partly").entry(PART_FILE, "kept", "k").entry(PART_FILE, "../out", "x");
    later.ident("later", 2).entry(PART_FILE, "later-file", "l");
    odd.ident("a/b\x1b[2K").description("line one\nline two").entry(PART_FILE, "odd", "o");
    dotted.ident("..").entry(PART_FILE, "dotted", "d");
    write_file(dir + "/all.vpk", partly.finish() + later.finish() + odd.finish() + dotted.finish());
    RunResult u = unpack(dir + "/all.vpk");
    EXPECT_EQ(1, u.status);
    EXPECT_EQ(
        "name partly\n"
        "path kept\n"
        "state incomplete\n",
        record("partly"));
    EXPECT_FALSE(fs::exists(root + "/var/pdb/later"));
    EXPECT_EQ(
        "name a/b\\x1b[2K\n"
        "description line one\\nline two\n"
        "path odd\n"
        "state complete\n",
        record("a\\x2fb\\x1b[2K"));
    EXPECT_EQ("name ..\npath dotted\nstate complete\n", record("\\x2e."));
    RunResult l = list();
    EXPECT_EQ(
        "..                    1 paths\n"
        "a/b\\x1b[2K            1 paths  line one\\nline two\n"
        "partly                1 paths  (incomplete)\n",
        l.out);
}

TEST_F(Records, RecordsAreKeptOnlyInsideTheRoot) {
    // var/pdb is a link out of the root: the package goes in, its record
    // does not, and nothing is written outside.
    fs::create_directory(dir + "/outside");
    fs::create_directory(root + "/var");
    fs::create_symlink(dir + "/outside", root + "/var/pdb");
    RawPackage p;
    p.ident("linked").entry(PART_FILE, "file", "f");
    write_file(dir + "/linked.vpk", p.finish());
    RunResult u = unpack(dir + "/linked.vpk");
    EXPECT_EQ(1, u.status);
    EXPECT_NE(std::string::npos,
              u.err.find("cannot keep the record of the package: goes through the symbolic link "
                         "var/pdb"))
        << u.err;
    EXPECT_EQ("linked: 1 of 1 entries installed (with errors)\n", u.out);
    EXPECT_EQ("f", read_file(root + "/file"));
    EXPECT_TRUE(fs::is_empty(dir + "/outside"));
    RunResult l = list();
    EXPECT_NE(0, l.status);
    EXPECT_NE(std::string::npos, l.err.find("symbolic link")) << l.err;
}

}  // namespace

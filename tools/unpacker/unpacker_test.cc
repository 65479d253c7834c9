// The package builder and the unpacker, run as programs on temporary trees:
// round trips, several packages in one stream, hostile and damaged input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unpacker_test_support.h"

namespace {

using namespace unpacker_test;

TEST_F(Scratch, TreeGoesInWithModesOwnersTimesLinksAndData) {
    std::string tree = dir + "/tree";
    fs::create_directories(tree + "/etc/rc.d");
    fs::create_directories(tree + "/var/empty");
    write_file(tree + "/etc/issue", "Brindlex\n");
    write_file(tree + "/etc/rc.d/empty", "");
    std::string large(5 << 20, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = char((i * 2654435761u) >> 13);
    write_file(tree + "/var/large.bin", large);
    fs::create_symlink("../etc/issue", tree + "/var/issue-link");
    fs::create_symlink("/absolute/target", tree + "/var/abs-link");
    bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(0, lchown((tree + "/etc/issue").c_str(), 1234, 5678));
        ASSERT_EQ(0, lchown((tree + "/var/issue-link").c_str(), 42, 43));
        ASSERT_EQ(0, lchown((tree + "/var/empty").c_str(), 7, 8));
    }
    chmod((tree + "/etc/issue").c_str(), 04751);
    chmod((tree + "/var/empty").c_str(), 0500);
    chmod((tree + "/etc/rc.d/empty").c_str(), 0600);
    struct timespec times[2] = {{1500000000, 123456789}, {1500000000, 123456789}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (tree + "/etc/issue").c_str(), times, 0));
    ASSERT_EQ(0, utimensat(AT_FDCWD, (tree + "/var/empty").c_str(), times, 0));
    ASSERT_EQ(0,
              utimensat(AT_FDCWD, (tree + "/var/issue-link").c_str(), times, AT_SYMLINK_NOFOLLOW));

    std::string pkg = dir + "/base.vpk";
    RunResult b = build("--name base --description 'Base system' --output " + pkg + " " + tree);
    ASSERT_EQ(0, b.status) << b.err;
    ASSERT_EQ(0, build("verify " + pkg).status);
    RunResult u = unpack(pkg);
    EXPECT_EQ(0, u.status) << u.err;
    EXPECT_EQ("base: 9 of 9 entries installed\n", u.out);
    EXPECT_EQ("", u.err);

    EXPECT_EQ("Brindlex\n", read_file(root + "/etc/issue"));
    EXPECT_EQ(large, read_file(root + "/var/large.bin"));
    EXPECT_EQ("", read_file(root + "/etc/rc.d/empty"));
    EXPECT_EQ("../etc/issue", fs::read_symlink(root + "/var/issue-link").string());
    EXPECT_EQ("/absolute/target", fs::read_symlink(root + "/var/abs-link").string());
    struct stat st;
    ASSERT_EQ(0, lstat((root + "/etc/issue").c_str(), &st));
    EXPECT_EQ(04751u, st.st_mode & 07777);
    EXPECT_EQ(1500000000, st.st_mtim.tv_sec);
    EXPECT_EQ(123456789, st.st_mtim.tv_nsec);
    if (as_root) {
        EXPECT_EQ(1234u, st.st_uid);
        EXPECT_EQ(5678u, st.st_gid);
    }
    ASSERT_EQ(0, lstat((root + "/var/empty").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0500u, st.st_mode & 07777);
    EXPECT_EQ(1500000000, st.st_mtim.tv_sec);
    if (as_root) {
        EXPECT_EQ(7u, st.st_uid);
    }
    ASSERT_EQ(0, lstat((root + "/etc/rc.d/empty").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    ASSERT_EQ(0, lstat((root + "/var/issue-link").c_str(), &st));
    EXPECT_EQ(1500000000, st.st_mtim.tv_sec);
    if (as_root) {
        EXPECT_EQ(42u, st.st_uid);
    }
    // No temporary file is left anywhere.
    for (auto& e : fs::recursive_directory_iterator(root))
        EXPECT_EQ(std::string::npos, e.path().filename().string().find(".unpack-")) << e.path();
}

TEST_F(Scratch, SeveralPackagesInOneStreamAndQuietMode) {
    fs::create_directories(dir + "/a/bin");
    write_file(dir + "/a/bin/one", "1");
    fs::create_directories(dir + "/b/etc");
    write_file(dir + "/b/etc/two", "2");
    ASSERT_EQ(0, build("-n first -o " + dir + "/first.vpk " + dir + "/a").status);
    ASSERT_EQ(
        0, build("-n second -D first --alt-magic -o " + dir + "/second.vpk " + dir + "/b").status);
    ASSERT_EQ(0, build("-n nothing -o " + dir + "/nothing.vpk").status);
    RunResult u = unpack(dir + "/first.vpk " + dir + "/nothing.vpk " + dir + "/second.vpk");
    EXPECT_EQ(0, u.status) << u.err;
    EXPECT_EQ(
        "first: 2 of 2 entries installed\nnothing: 0 of 0 entries installed\n"
        "second: 2 of 2 entries installed\n",
        u.out);
    EXPECT_EQ("1", read_file(root + "/bin/one"));
    EXPECT_EQ("2", read_file(root + "/etc/two"));
    RunResult quiet = unpack(dir + "/first.vpk", "-q");
    EXPECT_EQ(0, quiet.status);
    EXPECT_EQ("", quiet.out);
}

TEST_F(Scratch, EscapesAreRefusedAndTheRestGoesIn) {
    fs::create_directory(dir + "/outside");
    std::string outside = dir + "/outside";
    RawPackage p;
    p.ident("hostile")
        .entry(PART_FILE, "../escape", "x")
        .entry(PART_FILE, "/tmp/absolute", "x")
        .entry(PART_FILE, "a/./b", "x")
        .entry(PART_SYMLINK, "evil", outside)
        .entry(PART_FILE, "evil/planted", "through the link")
        .entry(PART_DIRECTORY, "evil/sub", "")
        .entry(PART_FILE, "good", "kept");
    write_file(dir + "/hostile.vpk", p.finish());
    RunResult u = unpack(dir + "/hostile.vpk");
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos, u.err.find("refused \"../escape\": \"..\" in path")) << u.err;
    EXPECT_NE(std::string::npos, u.err.find("refused \"/tmp/absolute\": absolute path"));
    EXPECT_NE(std::string::npos, u.err.find("refused \"a/./b\""));
    EXPECT_NE(std::string::npos,
              u.err.find("refused \"evil/planted\": goes through the symbolic link evil"));
    EXPECT_NE(std::string::npos, u.err.find("refused \"evil/sub\""));
    EXPECT_EQ("hostile: 2 of 7 entries installed (with errors)\n", u.out);
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(dir + "/escape"));
    EXPECT_EQ("kept", read_file(root + "/good"));
    EXPECT_TRUE(fs::is_symlink(root + "/evil"));
}

TEST_F(Scratch, DamageIsCaughtAndNothingInstalledIsLost) {
    write_file(root + "/data", "old contents");
    RawPackage p;
    p.ident("damaged")
        .entry(PART_FILE, "data", std::string(10000, 'n'))
        .entry(PART_FILE, "other", "o");
    std::string bytes = p.finish();
    // Damage a byte inside the file data: the entry is refused, the old
    // file stays, and the following entry still goes in.
    std::string hit = bytes;
    hit[bytes.find(std::string(100, 'n')) + 5000] ^= 0x10;
    write_file(dir + "/hit.vpk", hit);
    RunResult u = unpack(dir + "/hit.vpk");
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos, u.err.find("\"data\" is damaged (check value differs)")) << u.err;
    EXPECT_EQ("old contents", read_file(root + "/data"));
    EXPECT_EQ("o", read_file(root + "/other"));

    // Random damage anywhere in the package is reported, and a package
    // behind it in the same stream goes in whenever the framing survives.
    RawPackage next;
    next.ident("next").entry(PART_FILE, "next", "n");
    write_file(dir + "/next.vpk", next.finish());
    srand(7);
    int reported = 0;
    for (int round = 0; round < 40; ++round) {
        std::string d = bytes;
        size_t at = size_t(rand()) % d.size();
        d[at] = char(d[at] ^ (1 + rand() % 255));
        write_file(dir + "/random.vpk", d);
        RunResult r = unpack(dir + "/random.vpk " + dir + "/next.vpk", "-q");
        EXPECT_NE(0, r.status) << "damage at " << at << " went unnoticed";
        EXPECT_NE("", r.err);
        reported += r.status != 0;
        std::string data = read_file(root + "/data");
        EXPECT_TRUE(data == "old contents" || data == std::string(10000, 'n')) << at;
    }
    EXPECT_EQ(40, reported);
}

TEST_F(Scratch, TruncatedAndOverlongPackagesAreReported) {
    write_file(root + "/data", "old contents");
    RawPackage p;
    p.ident("cut").entry(PART_FILE, "first", "1").entry(PART_FILE, "data", std::string(5000, 'z'));
    std::string bytes = p.finish();
    write_file(dir + "/cut.vpk", bytes.substr(0, bytes.size() - 2000));
    RunResult u = unpack(dir + "/cut.vpk");
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos, u.err.find("\"data\" is cut short: the package is truncated"))
        << u.err;
    EXPECT_EQ("old contents", read_file(root + "/data"));
    EXPECT_EQ("1", read_file(root + "/first"));

    // A length field larger than the file.
    write_file(dir + "/long.vpk", p.finish(1000));
    u = unpack(dir + "/long.vpk");
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos, u.err.find("truncated")) << u.err;

    // A part whose length runs past the package: reported, and the next
    // package in the stream is still installed.
    std::string bad = bytes;
    size_t part = FILE_HEADER_SIZE + PART_HEADER_SIZE + IDENTIFICATION_SIZE;
    store_le32(reinterpret_cast<unsigned char*>(&bad[part + 2]), 0x7FFFFFFF);
    write_file(dir + "/bad.vpk", bad);
    RawPackage next;
    next.ident("next").entry(PART_FILE, "next", "n");
    write_file(dir + "/next.vpk", next.finish());
    u = unpack(dir + "/bad.vpk " + dir + "/next.vpk");
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos, u.err.find("runs past its end")) << u.err;
    EXPECT_EQ("n", read_file(root + "/next"));

    // Something that is not a package at all.
    write_file(dir + "/junk", "this is not a package file");
    u = unpack(dir + "/junk");
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos, u.err.find("no package at input offset 0")) << u.err;
}

TEST_F(Scratch, BuilderRefusesBadArgumentsAndLeavesNothingBehind) {
    fs::create_directory(dir + "/out");
    fs::create_directory(dir + "/tree");
    RunResult r = build("--name seventeen-bytes-x -o " + dir + "/out/p.vpk " + dir + "/tree");
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("is longer than 16 bytes")) << r.err;
    r = build("--name ok -o " + dir + "/out/p.vpk " + dir + "/missing");
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot use directory")) << r.err;
    r = build("--name ok -D sixteen-bytes-ok -D seventeen-bytes-x -o " + dir + "/out/p.vpk");
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("dependency name")) << r.err;
    ASSERT_EQ(0, mkfifo((dir + "/tree/fifo").c_str(), 0644));
    r = build("--name ok -o " + dir + "/out/p.vpk " + dir + "/tree");
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("not a file, directory or symbolic link")) << r.err;
    r = build("--name ok");
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("required")) << r.err;
    EXPECT_TRUE(fs::is_empty(dir + "/out"));
}

}  // namespace

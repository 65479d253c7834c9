#include "disk/config_snapshot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A fresh temporary directory; the trees of a case live below it.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/snapshot.XXXXXX";
        if (mkdtemp(name) == nullptr) abort();
        path = name;
    }
    ~TempDir() {
        std::string command = "rm -rf " + path;
        if (system(command.c_str()) != 0) perror("rm");
    }
};

void write_file(const std::string& path, const std::string& content, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

struct stat status_of(const std::string& path) {
    struct stat status;
    memset(&status, 0, sizeof(status));
    if (lstat(path.c_str(), &status) != 0) status.st_mode = 0;
    return status;
}

void set_owner_and_times(const std::string& path, uid_t uid, gid_t gid, time_t when) {
    ASSERT_EQ(lchown(path.c_str(), uid, gid), 0);
    utimbuf times{when - 100, when};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

std::vector<int32_t> chunk_lengths(ConfigSnapshot* snapshot) {
    std::vector<int32_t> lengths;
    for (SnapshotChunk* chunk = snapshot; chunk != nullptr; chunk = chunk->next) {
        EXPECT_EQ(chunk->magic, SNAPSHOT_MAGIC);
        EXPECT_EQ(chunk->offset, 0);
        lengths.push_back(chunk->length);
    }
    return lengths;
}

const int32_t STATUS_SIZE = int32_t(sizeof(struct stat));

TEST(ConfigSnapshot, EmptyDirectoryIsOneRecord) {
    TempDir dir;
    std::string store = dir.path + "/store";
    ASSERT_EQ(mkdir(store.c_str(), 0750), 0);
    ConfigSnapshot* snapshot = take_snapshot(store.c_str());
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(chunk_lengths(snapshot),
              std::vector<int32_t>({int32_t(store.size()) + 1 + STATUS_SIZE}));
    EXPECT_STREQ(reinterpret_cast<char*>(chunk_data(snapshot)), store.c_str());

    ASSERT_EQ(rmdir(store.c_str()), 0);
    ASSERT_TRUE(restore_snapshot(snapshot));
    struct stat restored = status_of(store);
    EXPECT_TRUE(S_ISDIR(restored.st_mode));
    EXPECT_EQ(restored.st_mode & 07777, 0750u);
}

TEST(ConfigSnapshot, TreeComesBackWithContentsAndMetadata) {
    TempDir dir;
    std::string store = dir.path + "/store";
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((store + "/etc").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((store + "/etc/deep").c_str(), 0751), 0);
    std::string big(40000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 251);
    write_file(store + "/etc/deep/big", big, 0640);
    std::string huge(1100000, '\0');  // more than one read or write call holds
    for (size_t i = 0; i < huge.size(); ++i) huge[i] = char(i / 4093 + i);
    write_file(store + "/huge", huge);
    write_file(store + "/config", "hostname router\n", 04755);
    write_file(store + "/empty", "", 0600);
    write_file(store + "/linked", "one inode\n", 0644);
    ASSERT_EQ(link((store + "/linked").c_str(), (store + "/etc/second").c_str()), 0);
    ASSERT_EQ(symlink("config", (store + "/alias").c_str()), 0);
    ASSERT_EQ(mkfifo((store + "/etc/pipe").c_str(), 0600), 0);
    set_owner_and_times(store + "/config", 4321, 8765, 1000000000);
    chmod((store + "/config").c_str(), 04755);  // after the owner change, which clears it
    set_owner_and_times(store + "/etc/deep/big", 77, 88, 1200000000);
    set_owner_and_times(store + "/empty", 65000, 0, 900000000);
    set_owner_and_times(store + "/etc", 5, 6, 1100000000);

    ConfigSnapshot* snapshot = take_snapshot(store.c_str());
    ASSERT_NE(snapshot, nullptr);
    std::string old = dir.path + "/old";
    ASSERT_EQ(rename(store.c_str(), old.c_str()), 0);
    ASSERT_TRUE(restore_snapshot(snapshot));

    struct stat config = status_of(store + "/config");
    EXPECT_EQ(config.st_mode, mode_t(S_IFREG | 04755));
    EXPECT_EQ(config.st_uid, 4321u);
    EXPECT_EQ(config.st_gid, 8765u);
    EXPECT_EQ(config.st_mtime, 1000000000);
    EXPECT_EQ(config.st_atime, 1000000000 - 100);
    struct stat big_status = status_of(store + "/etc/deep/big");
    EXPECT_EQ(big_status.st_mode & 07777, 0640u);
    EXPECT_EQ(big_status.st_uid, 77u);
    EXPECT_EQ(big_status.st_gid, 88u);
    EXPECT_EQ(big_status.st_mtime, 1200000000);
    struct stat empty = status_of(store + "/empty");
    EXPECT_EQ(empty.st_uid, 65000u);
    EXPECT_EQ(empty.st_mtime, 900000000);
    struct stat etc = status_of(store + "/etc");
    EXPECT_TRUE(S_ISDIR(etc.st_mode));
    EXPECT_EQ(etc.st_mode & 07777, 0700u);
    EXPECT_EQ(etc.st_uid, 5u);
    EXPECT_EQ(etc.st_gid, 6u);
    EXPECT_EQ(status_of(store + "/etc/deep").st_mode & 07777, 0751u);

    // Read after the status checks: reading moves the access time.
    EXPECT_TRUE(contents(store + "/etc/deep/big") == big);
    EXPECT_TRUE(contents(store + "/huge") == huge);
    EXPECT_EQ(contents(store + "/config"), "hostname router\n");
    EXPECT_EQ(contents(store + "/empty"), "");

    // Links, pipes are not kept; hard links become independent files.
    EXPECT_EQ(status_of(store + "/alias").st_mode, 0u);
    EXPECT_EQ(status_of(store + "/etc/pipe").st_mode, 0u);
    struct stat first = status_of(store + "/linked");
    struct stat second = status_of(store + "/etc/second");
    EXPECT_EQ(contents(store + "/etc/second"), "one inode\n");
    EXPECT_EQ(first.st_nlink, 1u);
    EXPECT_EQ(second.st_nlink, 1u);
    EXPECT_NE(first.st_ino, second.st_ino);
}

TEST(ConfigSnapshot, PlacementOfPathsAndContentInChunks) {
    TempDir dir;
    // A start file whose content fills the first chunk exactly: one chunk.
    std::string file = dir.path + "/f";
    int32_t header = int32_t(file.size()) + 1 + STATUS_SIZE;
    write_file(file, std::string(size_t(SNAPSHOT_CHUNK_SIZE - header), 'x'));
    ConfigSnapshot* snapshot = take_snapshot(file.c_str());
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(chunk_lengths(snapshot), std::vector<int32_t>({SNAPSHOT_CHUNK_SIZE}));
    release_snapshot(snapshot);

    // Two files of equal names and sizes, so that the listing order does
    // not matter: the first leaves 3 bytes free, too few for the second
    // path, which gets a chunk of its own size; its status record starts a
    // full-size chunk.
    std::string store = dir.path + "/s";
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    int32_t path_size = int32_t(store.size()) + 3;  // "/a" and the NUL
    int32_t used = int32_t(store.size()) + 1 + STATUS_SIZE + path_size + STATUS_SIZE;
    int32_t content = SNAPSHOT_CHUNK_SIZE - used - 3;
    write_file(store + "/a", std::string(size_t(content), 'a'));
    write_file(store + "/b", std::string(size_t(content), 'b'));
    snapshot = take_snapshot(store.c_str());
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(chunk_lengths(snapshot),
              std::vector<int32_t>({SNAPSHOT_CHUNK_SIZE - 3, path_size, STATUS_SIZE + content}));
    std::string second_path(reinterpret_cast<char*>(chunk_data(snapshot->next)));
    EXPECT_TRUE(second_path == store + "/a" || second_path == store + "/b") << second_path;

    std::string old = dir.path + "/old";
    ASSERT_EQ(rename(store.c_str(), old.c_str()), 0);
    ASSERT_TRUE(restore_snapshot(snapshot));
    EXPECT_EQ(contents(store + "/a"), std::string(size_t(content), 'a'));
    EXPECT_EQ(contents(store + "/b"), std::string(size_t(content), 'b'));
}

TEST(ConfigSnapshot, RegularFileAsStartPath) {
    TempDir dir;
    std::string file = dir.path + "/only";
    write_file(file, "just this\n", 0604);
    ConfigSnapshot* snapshot = take_snapshot(file.c_str());
    ASSERT_NE(snapshot, nullptr);
    // Restored over a longer file of the same name: nothing of it remains.
    write_file(file, "a much longer text than the recorded one\n", 0600);
    ASSERT_TRUE(restore_snapshot(snapshot));
    EXPECT_EQ(contents(file), "just this\n");
    EXPECT_EQ(status_of(file).st_mode & 07777, 0604u);
}

TEST(ConfigSnapshot, FailuresWhileTaking) {
    TempDir dir;
    EXPECT_EQ(take_snapshot((dir.path + "/missing").c_str()), nullptr);
    // A link as the start path records nothing at all.
    ASSERT_EQ(symlink("/etc", (dir.path + "/link").c_str()), 0);
    ConfigSnapshot* snapshot = take_snapshot((dir.path + "/link").c_str());
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(chunk_lengths(snapshot), std::vector<int32_t>({0}));
    EXPECT_TRUE(restore_snapshot(snapshot));
}

TEST(ConfigSnapshot, RestoreFailures) {
    TempDir dir;
    std::string store = dir.path + "/store";
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    write_file(store + "/file", "data", 0644);
    ConfigSnapshot* snapshot = take_snapshot(store.c_str());
    ASSERT_NE(snapshot, nullptr);
    // The directory exists already: the restore fails at once.
    ASSERT_EQ(unlink((store + "/file").c_str()), 0);
    EXPECT_FALSE(restore_snapshot(snapshot));
    EXPECT_EQ(status_of(store + "/file").st_mode, 0u);

    // A chain without the magic is refused and left alone.
    SnapshotChunk fake{0, 0, 0, nullptr};
    EXPECT_FALSE(restore_snapshot(&fake));
    EXPECT_FALSE(restore_snapshot(nullptr));
}

TEST(ConfigSnapshot, UncreatablePathsSkipEmptyFilesOnly) {
    TempDir dir;
    std::string sub = dir.path + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    write_file(sub + "/empty", "");
    write_file(sub + "/full", "content");
    ConfigSnapshot* empty = take_snapshot((sub + "/empty").c_str());
    ConfigSnapshot* full = take_snapshot((sub + "/full").c_str());
    ASSERT_NE(empty, nullptr);
    ASSERT_NE(full, nullptr);
    ASSERT_EQ(system(("rm -rf " + sub).c_str()), 0);
    EXPECT_TRUE(restore_snapshot(empty));
    EXPECT_FALSE(restore_snapshot(full));
    EXPECT_EQ(status_of(sub).st_mode, 0u);
}

}  // namespace

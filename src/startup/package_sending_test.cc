// Packages on their way into the unpacker: a recording unpacker (a shell
// script) notes its arguments, the size of every read it gets and the end of
// its input, and keeps the bytes it was sent.
#include "startup/package_sending.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "console/child_process.h"
#include "console/console_test_support.h"
#include "startup/process_state.h"

namespace {

// Bytes 0, 1, 2, ... 250, 0, 1, ... so that a misplaced block shows.
std::string pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = char(i % 251);
    return text;
}

class PackageSendingTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string recorder;

    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        signal(SIGPIPE, SIG_IGN);  // as the installer has it
        strcpy(log_terminal, "/dev/null");
        // One read of at most 64 KiB per dd run: the record shows the reads.
        recorder = dir.file("unpacker");
        write_file(recorder,
                   "#!/bin/sh\n"
                   "cd '" +
                       dir.path +
                       "'\n"
                       "echo \"start $*\" >> record\n"
                       "while :; do\n"
                       "    n=$(dd bs=65536 count=1 status=none | tee -a received | wc -c)\n"
                       "    [ \"$n\" -eq 0 ] && break\n"
                       "    echo \"read $n\" >> record\n"
                       "done\n"
                       "echo end >> record\n",
                   0755);
    }
    void TearDown() override {
        strcpy(log_terminal, "/dev/tty9");
        EXPECT_EQ(pipe_child_pid, -1);
    }
    std::string record() { return read_file(dir.file("record")); }
    std::string received() { return read_file(dir.file("received")); }

    // The recorder behind a pipe that holds a single 4096-byte page, so each
    // block written waits for the recorder's read of the block before it:
    // the reads show the writes.
    FILE* open_one_page_pipe() {
        FILE* pipe = open_write_pipe(recorder.c_str(), "-r", "/mnt", "-", nullptr);
        if (pipe != nullptr) {
            EXPECT_EQ(fcntl(fileno(pipe), F_SETPIPE_SZ, 4096), 4096);
        }
        return pipe;
    }
};

TEST_F(PackageSendingTest, FileGoesInBlocksOf4096Bytes) {
    std::string package = pattern(10000);
    write_file(dir.file("p.vpk"), package);
    FILE* file = fopen(dir.file("p.vpk").c_str(), "r");
    ASSERT_NE(file, nullptr);
    FILE* pipe = open_one_page_pipe();
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(copy_package_blocks(file, 10000, pipe), PackageCopy::COPIED);
    fclose(file);
    EXPECT_EQ(close_pipe(pipe), 0);
    EXPECT_EQ(record(), "start -r /mnt -\nread 4096\nread 4096\nread 1808\nend\n");
    EXPECT_EQ(received(), package);
}

TEST_F(PackageSendingTest, FileShorterThanItsSizeIsAShortRead) {
    write_file(dir.file("p.vpk"), pattern(5000));
    FILE* file = fopen(dir.file("p.vpk").c_str(), "r");
    ASSERT_NE(file, nullptr);
    FILE* pipe = open_one_page_pipe();
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(copy_package_blocks(file, 10000, pipe), PackageCopy::SHORT_READ);
    fclose(file);
    close_pipe(pipe);
    // Only whole blocks went out; the one that could not be read did not.
    EXPECT_EQ(record(), "start -r /mnt -\nread 4096\nend\n");
}

TEST_F(PackageSendingTest, BufferGoesInBlocksOf4096Bytes) {
    std::string package = pattern(9000);
    write_file(dir.file("p.vpk"), package);
    FileBuffer buffer;
    ASSERT_TRUE(read_whole_file(buffer, dir.file("p.vpk").c_str()));
    FILE* pipe = open_one_page_pipe();
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(copy_buffer_blocks(buffer, pipe), PackageCopy::COPIED);
    EXPECT_EQ(close_pipe(pipe), 0);
    release_buffer(buffer);
    EXPECT_EQ(record(), "start -r /mnt -\nread 4096\nread 4096\nread 808\nend\n");
    EXPECT_EQ(received(), package);
}

TEST_F(PackageSendingTest, WholeFilesReachTheirOwnUnpackerRun) {
    std::string package = pattern(10000);
    write_file(dir.file("a.vpk"), package);
    write_file(dir.file("empty.vpk"), "");
    std::string out = capture_stdout([&] {
        EXPECT_TRUE(send_package_file(recorder.c_str(), dir.file("a.vpk").c_str()));
        // An empty package still starts an unpacker, which gets the end of
        // its input at once.
        EXPECT_TRUE(send_package_file(recorder.c_str(), dir.file("empty.vpk").c_str()));
    });
    EXPECT_EQ(out, "");
    std::string reads = record();
    EXPECT_EQ(reads.substr(0, 16), "start -r /mnt -\n");
    EXPECT_EQ(reads.substr(reads.size() - 24), "end\nstart -r /mnt -\nend\n");
    EXPECT_EQ(received(), package);
}

TEST_F(PackageSendingTest, FileFailures) {
    // Missing on the CD-ROM: the unpacker has been started; it is ended.
    std::string out = capture_stdout(
        [&] { EXPECT_FALSE(send_package_file(recorder.c_str(), dir.file("gone.vpk").c_str())); });
    EXPECT_EQ(out, "\nFATAL ERROR: corrupted installation CD-ROM\n");
    EXPECT_EQ(record(), "start -r /mnt -\nend\n");

    // There (stat succeeds) but it cannot be opened: a socket.
    std::string socket_path = dir.file("sock.vpk");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    out = capture_stdout(
        [&] { EXPECT_FALSE(send_package_file(recorder.c_str(), socket_path.c_str())); });
    close(fd);
    EXPECT_EQ(out, "\nFATAL ERROR: corrupted CD-ROM\n");

    // An unpacker that ends without reading: the write fails once the pipe
    // is full, and only an empty line follows.
    std::string quitter = dir.file("quitter");
    write_file(quitter, "#!/bin/sh\nexit 0\n", 0755);
    write_file(dir.file("big.vpk"), pattern(1 << 20));
    out = capture_stdout(
        [&] { EXPECT_FALSE(send_package_file(quitter.c_str(), dir.file("big.vpk").c_str())); });
    EXPECT_EQ(out, "\n");
}

// An unpacker that takes every byte of a short package but cannot install
// it (a full or failing disk) ends with a failure: the package is not
// installed, in both modes that send packages, with their write failure's
// empty line.
TEST_F(PackageSendingTest, AnUnpackerThatFailsIsAFailedPackage) {
    std::string failing = dir.file("failing");
    write_file(failing, "#!/bin/sh\ncat > '" + dir.file("received") + "'\nexit 1\n", 0755);
    std::string package = pattern(3000);
    write_file(dir.file("p.vpk"), package);
    FileBuffer buffer;
    ASSERT_TRUE(read_whole_file(buffer, dir.file("p.vpk").c_str()));
    std::string out = capture_stdout([&] {
        EXPECT_FALSE(send_package_file(failing.c_str(), dir.file("p.vpk").c_str()));
        EXPECT_EQ(received(), package);
        EXPECT_FALSE(send_package_buffer(failing.c_str(), buffer));
    });
    EXPECT_EQ(out, "\n\n");
    EXPECT_EQ(received(), package);
    EXPECT_EQ(buffer.data, nullptr);
}

// A package shorter than a block is still in the pipe's stream when its
// copy ends; an unpacker that has closed its input by then (and ends with
// status 0) refuses it only at the close. The package file is held under a
// write lease until the unpacker has closed its input, so the installer's
// open of it, and every write after, comes later.
TEST_F(PackageSendingTest, AShortPackageRefusedAtTheCloseIsAFailedPackage) {
    std::string closing = dir.file("closing");
    write_file(closing, "#!/bin/sh\nexec 0<&-\n: > '" + dir.file("closed") + "'\n", 0755);
    write_file(dir.file("p.vpk"), pattern(3000));
    sighandler_t before = signal(SIGIO, SIG_IGN);  // the lease's break notice
    int held = open(dir.file("p.vpk").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(fcntl(held, F_SETLEASE, F_WRLCK), 0);
    std::thread release([&] {
        for (int i = 0; i < 1000 && access(dir.file("closed").c_str(), F_OK) != 0; ++i)
            usleep(10000);
        fcntl(held, F_SETLEASE, F_UNLCK);
    });
    std::string out = capture_stdout(
        [&] { EXPECT_FALSE(send_package_file(closing.c_str(), dir.file("p.vpk").c_str())); });
    release.join();
    close(held);
    signal(SIGIO, before);
    EXPECT_EQ(access(dir.file("closed").c_str(), F_OK), 0);
    EXPECT_EQ(out, "\n");
}

TEST_F(PackageSendingTest, NoUnpackerWhileAnotherPipeChildRuns) {
    write_file(dir.file("p.vpk"), pattern(100));
    FILE* other = open_write_pipe(recorder.c_str(), nullptr);
    ASSERT_NE(other, nullptr);
    FileBuffer buffer;
    ASSERT_TRUE(read_whole_file(buffer, dir.file("p.vpk").c_str()));
    std::string out = capture_stdout([&] {
        EXPECT_FALSE(send_package_file(recorder.c_str(), dir.file("p.vpk").c_str()));
        EXPECT_FALSE(send_package_buffer(recorder.c_str(), buffer));
    });
    EXPECT_EQ(out,
              "\nFATAL ERROR: couldn't start install\n"
              "\nFATAL ERROR: Couldn't start install\n");
    EXPECT_EQ(buffer.data, nullptr);  // released all the same
    EXPECT_EQ(buffer.size, 0u);
    close_pipe(other);
}

TEST_F(PackageSendingTest, BufferIsSentAndReleased) {
    std::string package = pattern(20000);
    write_file(dir.file("p.vpk"), package);
    FileBuffer buffer;
    ASSERT_TRUE(read_whole_file(buffer, dir.file("p.vpk").c_str()));
    std::string out =
        capture_stdout([&] { EXPECT_TRUE(send_package_buffer(recorder.c_str(), buffer)); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(received(), package);
    EXPECT_EQ(record().substr(record().size() - 4), "end\n");
}

}  // namespace

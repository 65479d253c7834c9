// How a run of the package unpacker ends, seen through pipes into small
// shell programs that play the unpacker.
#include "console/unpacker_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include "console/child_process.h"
#include "console/console_test_support.h"
#include "startup/process_state.h"

namespace {

class UnpackerRunTest : public ::testing::Test {
  protected:
    TempDir dir;

    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        signal(SIGPIPE, SIG_IGN);  // as the installer has it
        strcpy(log_terminal, "/dev/null");
    }
    void TearDown() override {
        strcpy(log_terminal, "/dev/tty9");
        EXPECT_EQ(pipe_child_pid, -1);
    }
    // An unpacker run of body, with the 100 bytes of a short package written
    // into its pipe; they stay in the stream's buffer until it is closed.
    FILE* start(const std::string& body) {
        std::string path = dir.file("unpacker");
        write_file(path, "#!/bin/sh\ncd '" + dir.path + "'\n" + body, 0755);
        FILE* pipe = open_write_pipe(path.c_str(), "-r", "/mnt", "-", nullptr);
        std::string package(100, 'p');
        if (pipe != nullptr) {
            EXPECT_EQ(fwrite(package.data(), package.size(), 1, pipe), 1u);
        }
        return pipe;
    }
    // Waits until the unpacker has left its mark file.
    bool marked() {
        for (int i = 0; i < 1000; ++i) {
            if (access(dir.file("mark").c_str(), F_OK) == 0) return true;
            usleep(10000);
        }
        return false;
    }
};

TEST_F(UnpackerRunTest, OnlyAnUnpackerThatTookEverythingAndSucceededHasInstalled) {
    FILE* pipe = start("cat > received\n");
    ASSERT_NE(pipe, nullptr);
    EXPECT_TRUE(close_unpacker(pipe));
    EXPECT_EQ(read_file(dir.file("received")), std::string(100, 'p'));

    // It read every byte but could not install them (a full or failing
    // disk): its status is the only sign.
    pipe = start("cat > received\nexit 1\n");
    ASSERT_NE(pipe, nullptr);
    EXPECT_FALSE(close_unpacker(pipe));
    EXPECT_EQ(read_file(dir.file("received")).size(), 100u);

    pipe = start("cat > /dev/null\nkill -KILL $$\n");
    ASSERT_NE(pipe, nullptr);
    EXPECT_FALSE(close_unpacker(pipe));
}

// The unpacker closed its input before the short package's bytes left the
// stream's buffer, and then ends as if all were well: the write at the
// close fails, and that is the failure. The unpacker is still at work when
// the write fails; it has ended when close_unpacker returns.
TEST_F(UnpackerRunTest, AClosingWriteThatFailsIsAFailure) {
    FILE* pipe = start("exec 0<&-\n: > mark\nsleep 0.3\n: > ended\nexit 0\n");
    ASSERT_NE(pipe, nullptr);
    ASSERT_TRUE(marked());
    EXPECT_FALSE(close_unpacker(pipe));
    EXPECT_EQ(access(dir.file("ended").c_str(), F_OK), 0);
}

}  // namespace

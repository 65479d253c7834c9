#include "console/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "console/console_test_support.h"
#include "startup/process_state.h"
#include "startup/signal_handlers.h"

namespace {

// Every test runs in its own folder with the log terminal pointed at the
// file "log" in it.
class ChildProcessTest : public ::testing::Test {
  protected:
    TempDir dir;
    char old_cwd[4096] = {};

    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        write_file(dir.file("log"), "");
        strcpy(log_terminal, "log");
    }
    void TearDown() override {
        strcpy(log_terminal, "/dev/tty9");
        EXPECT_EQ(chdir(old_cwd), 0);
        EXPECT_EQ(pipe_child_pid, -1);
    }

    std::string script(const std::string& name, const std::string& body) {
        std::string path = dir.file(name);
        write_file(path, "#!/bin/sh\n" + body, 0755);
        return path;
    }
    std::string log() { return read_file(dir.file("log")); }
};

std::string read_stream(FILE* stream) {
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stream)) > 0) text.append(buf, n);
    return text;
}

const char* const ECHO_ARGS = "for a in \"$@\"; do echo \"[$a]\"; done\n";

TEST_F(ChildProcessTest, RunProgramPassesArgumentsAndReportsTheExitStatus) {
    std::string prog = script("args", std::string(ECHO_ARGS) + "exit 3\n");
    int status = run_program(nullptr, prog.c_str(), "a b", "", "c", nullptr);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(log(), "[a b]\n[]\n[c]\n");
}

TEST_F(ChildProcessTest, FourteenArgumentsFitAndFifteenAreRefused) {
    std::string prog = script("args", ECHO_ARGS);
    int status = run_program(nullptr, prog.c_str(), "1", "2", "3", "4", "5", "6", "7", "8", "9",
                             "10", "11", "12", "13", "14", nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(log(), "[1]\n[2]\n[3]\n[4]\n[5]\n[6]\n[7]\n[8]\n[9]\n[10]\n[11]\n[12]\n[13]\n[14]\n");
    EXPECT_EQ(run_program(nullptr, prog.c_str(), "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                          "11", "12", "13", "14", "15", nullptr),
              -1);
    EXPECT_EQ(open_read_pipe(prog.c_str(), "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                             "12", "13", "14", "15", nullptr),
              nullptr);
}

TEST_F(ChildProcessTest, ProgramThatCannotStartExitsWith127) {
    int status = run_program(nullptr, dir.file("missing").c_str(), nullptr);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);

    write_file(dir.file("plain"), "#!/bin/sh\nexit 0\n", 0644);
    status = run_program(nullptr, dir.file("plain").c_str(), nullptr);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);

    FILE* pipe = open_read_pipe(dir.file("missing").c_str(), nullptr);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(read_stream(pipe), "");
    status = close_pipe(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
}

TEST_F(ChildProcessTest, RunProgramChrootsIntoRoot) {
    // A root with a static shell: the program is found below root, and its
    // output still reaches the log terminal opened before the chroot.
    std::string root = dir.file("root");
    std::filesystem::create_directories(root + "/bin");
    std::filesystem::copy_file("/bin/busybox", root + "/bin/sh");
    write_file(root + "/prog", "#!/bin/sh\necho inside >/made-here\necho to-log\nexit 5\n", 0755);

    int status = run_program(root.c_str(), "/prog", nullptr);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_EQ(read_file(root + "/made-here"), "inside\n");
    EXPECT_EQ(log(), "to-log\n");

    status = run_program(dir.file("no-such-root").c_str(), "/prog", nullptr);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
    EXPECT_EQ(log(), "to-log\n");
}

// The descriptors that "ls -l /proc/self/fd" lists, leaving out the one of
// the folder it reads.
std::vector<std::pair<int, std::string>> listed_descriptors(const std::string& listing) {
    std::vector<std::pair<int, std::string>> fds;
    size_t pos = 0;
    while (pos < listing.size()) {
        size_t end = listing.find('\n', pos);
        if (end == std::string::npos) end = listing.size();
        std::string line = listing.substr(pos, end - pos);
        pos = end + 1;
        size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        size_t start = line.rfind(' ', arrow - 1);
        int fd = atoi(line.c_str() + start + 1);
        std::string target = line.substr(arrow + 4);
        if (fd > 15) continue;  // beyond what the runners promise
        if (target.rfind("/proc/", 0) == 0 && target.size() > 3 &&
            target.compare(target.size() - 3, 3, "/fd") == 0)
            continue;
        fds.emplace_back(fd, target);
    }
    return fds;
}

// Keeps descriptors 3 to 15 of the test busy for one test.
struct BusyDescriptors {
    std::vector<int> opened;
    BusyDescriptors() {
        for (int fd = open("/dev/zero", O_RDONLY); fd >= 0 && fd <= 15;
             fd = open("/dev/zero", O_RDONLY))
            opened.push_back(fd);
        for (int fd = 3; fd <= 15; fd++) EXPECT_NE(fcntl(fd, F_GETFD), -1) << fd;
    }
    ~BusyDescriptors() {
        for (int fd : opened) close(fd);
    }
};

TEST_F(ChildProcessTest, ChildrenNeverInheritDescriptorsThreeToFifteen) {
    BusyDescriptors busy;
    std::string log_path = dir.file("log");

    EXPECT_EQ(run_program(nullptr, "/bin/ls", "-l", "/proc/self/fd", nullptr), 0);
    auto fds = listed_descriptors(log());
    ASSERT_EQ(fds.size(), 3u) << log();
    EXPECT_EQ(fds[0], std::make_pair(0, std::string("/dev/null")));
    EXPECT_EQ(fds[1], std::make_pair(1, log_path));
    EXPECT_EQ(fds[2], std::make_pair(2, log_path));

    FILE* pipe = open_read_pipe("/bin/ls", "-l", "/proc/self/fd", nullptr);
    ASSERT_NE(pipe, nullptr);
    std::string listing = read_stream(pipe);
    EXPECT_EQ(close_pipe(pipe), 0);
    fds = listed_descriptors(listing);
    ASSERT_EQ(fds.size(), 3u) << listing;
    EXPECT_EQ(fds[0], std::make_pair(0, std::string("/dev/null")));
    EXPECT_EQ(fds[1].first, 1);
    EXPECT_EQ(fds[1].second.rfind("pipe:", 0), 0u);
    EXPECT_EQ(fds[2], std::make_pair(2, log_path));

    write_file(log_path, "");
    pipe = open_write_pipe("/bin/ls", "-l", ">null", "/proc/self/fd", nullptr);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(close_pipe(pipe), 0);
    fds = listed_descriptors(log());
    ASSERT_EQ(fds.size(), 3u) << log();
    EXPECT_EQ(fds[0].first, 0);
    EXPECT_EQ(fds[0].second.rfind("pipe:", 0), 0u);
    EXPECT_EQ(fds[1], std::make_pair(1, log_path));
    EXPECT_EQ(fds[2], std::make_pair(2, log_path));
}

TEST_F(ChildProcessTest, PipeEndsAboveFifteenDoNotKeepTheChildWaiting) {
    // With descriptors 3 to 15 taken, the pipe ends land above 15; the
    // child must still see the end of input when the stream is closed.
    BusyDescriptors busy;
    std::string prog = script("feed", "cat\nexit 2\n");
    FILE* pipe = open_write_pipe(prog.c_str(), ">null", nullptr);
    ASSERT_NE(pipe, nullptr);
    EXPECT_GT(fileno(pipe), 15);
    fputs("x\n", pipe);
    int status = close_pipe(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(log(), "x\n");
}

TEST_F(ChildProcessTest, WritePipeLeavesOutTheMarkerAndSendsOutputToTheLog) {
    std::string prog = script("feed", std::string(ECHO_ARGS) + "cat\nexit 4\n");
    FILE* pipe = open_write_pipe(prog.c_str(), "-r", ">null", "/mnt", nullptr);
    ASSERT_NE(pipe, nullptr);
    EXPECT_NE(pipe_child_pid, -1);
    fputs("package data\n", pipe);
    int status = close_pipe(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(log(), "[-r]\n[/mnt]\npackage data\n");
}

TEST_F(ChildProcessTest, WritePipeWithoutMarkerPrintsOnTheConsole) {
    std::string prog = script("feed", std::string(ECHO_ARGS) + "cat\n");
    int status = -1;
    std::string console = capture_stdout([&] {
        FILE* pipe = open_write_pipe(prog.c_str(), "-q", "-", nullptr);
        ASSERT_NE(pipe, nullptr);
        fputs("shown\n", pipe);
        status = close_pipe(pipe);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(console, "[-q]\n[-]\nshown\n");
    EXPECT_EQ(log(), "");
}

TEST_F(ChildProcessTest, ReadPipeDeliversOutputAndSendsErrorsToTheLog) {
    std::string prog = script("query", "echo problem >&2\necho \"disk $1\"\nexit 6\n");
    FILE* pipe = open_read_pipe(prog.c_str(), "-g", nullptr);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(read_stream(pipe), "disk -g\n");
    int status = close_pipe(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 6);
    EXPECT_EQ(log(), "problem\n");
}

TEST_F(ChildProcessTest, OnlyOnePipeChildAtATime) {
    std::string prog = script("query", "echo first\n");
    FILE* first = open_read_pipe(prog.c_str(), nullptr);
    ASSERT_NE(first, nullptr);
    int pid = pipe_child_pid;
    EXPECT_EQ(open_read_pipe(prog.c_str(), nullptr), nullptr);
    EXPECT_EQ(open_write_pipe(prog.c_str(), ">null", nullptr), nullptr);
    EXPECT_EQ(pipe_child_pid, pid);
    // run_program may be used while the pipe child exists.
    EXPECT_EQ(run_program(nullptr, prog.c_str(), nullptr), 0);
    EXPECT_EQ(read_stream(first), "first\n");
    EXPECT_EQ(close_pipe(first), 0);
    EXPECT_EQ(pipe_child_pid, -1);

    FILE* second = open_write_pipe(prog.c_str(), ">null", nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(close_pipe(second), 0);
}

TEST_F(ChildProcessTest, ClosePipeWithoutAChildLeavesTheStreamAlone) {
    FILE* stream = fopen(dir.file("other").c_str(), "w");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(close_pipe(stream), -1);
    EXPECT_GE(fputs("still open\n", stream), 0);
    EXPECT_EQ(fclose(stream), 0);
    EXPECT_EQ(read_file(dir.file("other")), "still open\n");
}

// Children that nobody waits for, ending at staggered times while the
// runners wait for their own children.
std::vector<pid_t> start_strays(int count) {
    std::vector<pid_t> strays;
    for (int i = 0; i < count; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            usleep(2000 * (i % 25));
            _exit(0);
        }
        strays.push_back(pid);
    }
    return strays;
}

bool all_collected(const std::vector<pid_t>& strays) {
    for (int tries = 0; tries < 200; tries++) {
        bool left = false;
        for (pid_t pid : strays) {
            siginfo_t info;
            if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 || errno != ECHILD)
                left = true;
        }
        if (!left) return true;
        usleep(10000);
    }
    return false;
}

TEST_F(ChildProcessTest, ReaperNeverTakesTheStatusARunnerWaitsFor) {
    struct sigaction reaper = {}, previous = {};
    reaper.sa_handler = reap_child;
    sigemptyset(&reaper.sa_mask);
    reaper.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGCHLD, &reaper, &previous), 0);

    std::string code = script("code", "exit $1\n");
    std::string slow = script("slow", "echo begin\nsleep 0.2\necho end\nexit 9\n");
    for (int round = 0; round < 2; round++) {
        // Round 1 keeps a pipe child running all along.
        FILE* pipe = round == 1 ? open_read_pipe(slow.c_str(), nullptr) : nullptr;
        if (round == 1) {
            ASSERT_NE(pipe, nullptr);
        }
        std::vector<pid_t> strays = start_strays(50);
        for (int i = 1; i <= 40; i++) {
            char arg[8];
            snprintf(arg, sizeof arg, "%d", i);
            int status = run_program(nullptr, code.c_str(), arg, nullptr);
            ASSERT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(WEXITSTATUS(status), i);
        }
        if (pipe) {
            EXPECT_EQ(read_stream(pipe), "begin\nend\n");
            int status = close_pipe(pipe);
            ASSERT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(WEXITSTATUS(status), 9);
        }
        EXPECT_TRUE(all_collected(strays));
    }
    sigaction(SIGCHLD, &previous, nullptr);
}

TEST(ChildReaper, CollectsEndedChildrenAndKeepsErrno) {
    pid_t pid = fork();
    if (pid == 0) _exit(7);
    siginfo_t info = {};
    ASSERT_EQ(waitid(P_PID, pid, &info, WEXITED | WNOWAIT), 0);
    errno = EAGAIN;
    reap_child(SIGCHLD);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace

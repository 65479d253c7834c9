#include "startup/startup.h"

#include <gtest/gtest.h>
#include <libgen.h>
#include <sched.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "console/console_test_support.h"
#include "startup/host_guard.h"
#include "startup/process_state.h"

namespace {

// Runs body in a forked child and returns its exit code (-1 if it did not
// exit normally).
int in_child(const std::function<int()>& body) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int code = body();
        fflush(stdout);
        _exit(code);
    }
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool same_file(int fd, const std::string& path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

TEST(ConsoleChoice, WithoutVirtualConsoleEverythingGoesToTheSerialPort) {
    TempDir dir;
    std::string serial = dir.file("ttyS0");
    write_file(serial, "");
    int code = in_child([&] {
        choose_console(dir.file("tty0").c_str(), serial.c_str());
        if (strcmp(log_terminal, "/dev/null") != 0) return 1;
        if (!same_file(0, serial) || !same_file(1, serial) || !same_file(2, serial)) return 2;
        printf("on the serial port");
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(read_file(serial), "on the serial port");
    EXPECT_FALSE(std::filesystem::exists(dir.file("tty0")));
}

TEST(ConsoleChoice, VirtualConsoleKeepsTheStreamsAndTheLogTerminal) {
    TempDir dir;
    std::string tty0 = dir.file("tty0");
    write_file(tty0, "");
    std::string out = dir.file("out");
    write_file(out, "");
    int code = in_child([&] {
        int fd = open(out.c_str(), O_WRONLY);
        dup2(fd, 1);
        choose_console(tty0.c_str(), dir.file("ttyS0").c_str());
        if (strcmp(log_terminal, "/dev/tty9") != 0) return 1;
        printf("still here");
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(read_file(out), "still here");
    EXPECT_EQ(read_file(tty0), "");
}

bool in_initial_pid_namespace() {
    char link[64] = {};
    ssize_t n = readlink("/proc/self/ns/pid", link, sizeof link - 1);
    return n > 0 && strcmp(link, "pid:[4026531836]") == 0;
}

TEST(HostGuard, RefusesInTheInitialPidNamespace) {
    if (!in_initial_pid_namespace()) {
        EXPECT_EQ(host_start_refusal(), nullptr);
        return;
    }
    ASSERT_NE(host_start_refusal(), nullptr);
}

// The workstation build of the installer, started here, must refuse at
// once. It runs in a user namespace of its own, so that even a broken
// guard could not load modules, unmount or restart this machine.
TEST(HostGuard, WorkstationInstallerExitsWithStatusTwo) {
    if (!in_initial_pid_namespace()) GTEST_SKIP() << "only run where the guard must refuse";
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string installer = std::string(dirname(self)) + "/brindlex-installer";
    ASSERT_EQ(access(installer.c_str(), X_OK), 0) << installer << " is not built";

    int err[2], out[2];
    ASSERT_EQ(pipe(err), 0);
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) _exit(99);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        alarm(10);
        execl(installer.c_str(), "init", nullptr);
        _exit(98);
    }
    close(err[1]);
    close(out[1]);
    std::string errors, output;
    char buf[512];
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0) errors.append(buf, n);
    while ((n = read(out[0], buf, sizeof buf)) > 0) output.append(buf, n);
    close(err[0]);
    close(out[0]);
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_NE(WEXITSTATUS(status), 99) << "no user namespace for the safety net";
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(errors,
              "brindlex-installer: refusing to start in the initial PID namespace of this "
              "machine; the installer runs only on the test PC\n");
    EXPECT_EQ(output, "");
}

}  // namespace

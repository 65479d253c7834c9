#include "startup/signal_handlers.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>

#include <cstring>

#include "console/console_test_support.h"
#include "startup/process_state.h"

namespace {

// Stand-ins for the machine operations: they only say on the console what
// they were asked to do.
void say(const char* text) {
    ssize_t n = write(1, text, strlen(text));
    (void)n;
}
int pretend_unmount(const char* target) {
    say("<umount ");
    say(target);
    say(">");
    return 0;
}
void pretend_restart() {
    say("<restart>");
}
const AbortActions pretend = {pretend_unmount, pretend_restart};

const char ABORT_TEXT[] = "\n\nInstallation aborted\nPress ENTER to reboot\n";
const char UNMOUNTS[] = "<umount /mnt/boot><umount /mnt><umount /floppy>";

TEST(AbortInstallation, UnmountsWaitsForEnterRestoresTheTerminalAndRestarts) {
    PtySession tty([] {
        abort_disarmed = 0;
        ConsoleState console{};
        enter_raw_mode(console);
        printf("R");
        fflush(stdout);
        abort_installation(&console, pretend);
        return console.raw;
    });
    ASSERT_TRUE(tty.expect(std::string("R") + ABORT_TEXT + UNMOUNTS));
    EXPECT_EQ(tty.attributes().c_lflag & (ICANON | ECHO), 0u);
    tty.send("x ");
    ASSERT_TRUE(tty.expect("\a\a"));
    tty.send("\r");
    int status = tty.finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tty.output, std::string("R") + ABORT_TEXT + UNMOUNTS + "\a\a\e[?25h<restart>");
    EXPECT_EQ(tty.attributes().c_lflag, tty.initial.c_lflag);
}

TEST(AbortInstallation, EndOfInputEndsTheWait) {
    PtySession tty([] {
        abort_disarmed = 0;
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        abort_installation(nullptr, pretend);
        return 0;
    });
    int status = tty.finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(tty.output, std::string(ABORT_TEXT) + UNMOUNTS + "\e[?25h<restart>");
}

TEST(AbortInstallation, DisarmedDoesNothing) {
    abort_disarmed = 1;
    EXPECT_EQ(capture_stdout([] { abort_installation(nullptr, pretend); }), "");
    abort_disarmed = 0;
}

// The real handlers, in a child without any privilege over this machine
// (a user namespace of its own), so that even a faulty handler could not
// unmount or restart it.
TEST(InterruptHandler, DisarmedInterruptEndsTheWaitForEnterSilently) {
    PtySession tty([] {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return 99;
        abort_disarmed = 1;
        install_signal_handlers();
        ConsoleState console{};
        enter_raw_mode(console);
        printf("W");
        fflush(stdout);
        wait_for_key(console, '\n');
        printf("after");
        return 0;
    });
    ASSERT_TRUE(tty.expect("W"));
    // Again and again, in case a signal lands before the read has begun.
    for (int i = 0; i < 50 && tty.output.find("after") == std::string::npos; i++) {
        kill(tty.child, SIGINT);
        tty.pump(100);
    }
    int status = tty.finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tty.output, "Wafter");
}

}  // namespace

#include "console/console_state.h"

#include <gtest/gtest.h>

#include "console/console_test_support.h"

namespace {

TEST(RawMode, IsSetForSingleKeysAndRestoredAfterwards) {
    PtySession tty([] {
        ConsoleState console{};
        enter_raw_mode(console);
        enter_raw_mode(console);  // no effect: the first saved state stays
        printf("R");
        fflush(stdout);
        wait_for_key(console, '\n');
        leave_raw_mode(console);
        printf("L");
        fflush(stdout);
        wait_for_key(console, 'q');
        return console.raw;
    });
    ASSERT_TRUE(tty.expect("R"));
    termios raw = tty.attributes();
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(raw.c_lflag | ICANON | ECHO, tty.initial.c_lflag | ICANON | ECHO);
    EXPECT_NE(raw.c_lflag & ISIG, 0u);
    EXPECT_NE(raw.c_iflag & ICRNL, 0u);
    EXPECT_EQ(raw.c_iflag, tty.initial.c_iflag);
    EXPECT_EQ(raw.c_cc[VMIN], 1);
    EXPECT_EQ(raw.c_cc[VTIME], 0);

    tty.send("\r");  // ENTER arrives as a newline: the translation stays on
    ASSERT_TRUE(tty.expect("L"));
    termios restored = tty.attributes();
    EXPECT_EQ(restored.c_lflag, tty.initial.c_lflag);
    EXPECT_EQ(restored.c_cc[VMIN], tty.initial.c_cc[VMIN]);
    tty.send("q\n");
    int status = tty.finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tty.output, "R\e[?25hLq\n");  // echo is back for the last line
}

TEST(RawMode, LeavingWithoutEnteringOnlyShowsTheCursor) {
    ConsoleState console{};
    EXPECT_EQ(capture_stdout([&] { leave_raw_mode(console); }), "\e[?25h");
    EXPECT_EQ(console.raw, 0);
}

TEST(Prompts, AskYesNoRingsTheBellForOtherKeys) {
    PtySession tty([] {
        ConsoleState console{};
        enter_raw_mode(console);
        bool first = ask_yes_no(console, "Continue?");
        bool second = ask_yes_no(console, "Again?");
        return (first ? 1 : 0) | (second ? 2 : 0);
    });
    ASSERT_TRUE(tty.expect("Continue? [y/n]:"));
    tty.send("x");
    ASSERT_TRUE(tty.expect("\a"));
    tty.send("7\r");
    ASSERT_TRUE(tty.expect("\a\a\a"));
    tty.send("Y");
    ASSERT_TRUE(tty.expect("Again? [y/n]:"));
    tty.send("N");
    int status = tty.finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(tty.output, "Continue? [y/n]:\a\a\ay\nAgain? [y/n]:n\n");
}

TEST(Prompts, WaitForKeyReturnsOnlyForItsKey) {
    PtySession tty([] {
        ConsoleState console{};
        enter_raw_mode(console);
        printf("W");
        fflush(stdout);
        wait_for_key(console, '\n');
        printf("done");
        return 0;
    });
    ASSERT_TRUE(tty.expect("W"));
    tty.send("a y");
    ASSERT_TRUE(tty.expect("\a\a\a"));
    tty.send("\r");
    int status = tty.finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(tty.output, "W\a\a\adone");
}

TEST(Prompts, EndOfInputEndsTheWaitAndAnswersNo) {
    PtySession tty([] {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        ConsoleState console{};
        wait_for_key(console, '\n');
        printf("|");
        return ask_yes_no(console, "Continue?") ? 1 : 0;
    });
    int status = tty.finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tty.output, "|Continue? [y/n]:n\n");
}

}  // namespace

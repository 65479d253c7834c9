#include "console/dialogs.h"

#include <gtest/gtest.h>

#include "console/console_state.h"
#include "console/console_test_support.h"

namespace {

TEST(Dialogs, WelcomeEraseWarningAndKeepQuestion) {
    PtySession tty([] {
        set_console_state(new ConsoleState{});
        show_welcome("floppy installation");
        bool erase = confirm_erase();
        bool keep = ask_keep_config();
        bool erase_again = confirm_erase();
        printf("|");
        return (erase ? 1 : 0) | (keep ? 2 : 0) | (erase_again ? 4 : 0);
    });
    ASSERT_TRUE(tty.expect("Continue? [y/n]:"));
    EXPECT_EQ(tty.attributes().c_lflag & (ICANON | ECHO), 0u);  // raw since the banner
    tty.send("y");
    ASSERT_TRUE(tty.expect("configuration?  [y/n]:"));
    tty.send("N");
    ASSERT_TRUE(tty.expect("Continue? [y/n]:", 5000, tty.output.find("configuration")));
    tty.send("n");
    int status = tty.finish();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(tty.output,
              "\e[?25l\e[H\e[2JWelcome to Brindlex Router Software floppy installation\n"
              "Press Ctrl-Alt-Delete to abort\n"
              "Warning: all data on the disk will be erased!\n\n"
              "Continue? [y/n]:y\n\n"
              "Do you want to keep old configuration?  [y/n]:n\n\n"
              "Warning: all data on the disk will be erased!\n\n"
              "Continue? [y/n]:n\n|");
}

}  // namespace

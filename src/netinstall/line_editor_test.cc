#include "netinstall/line_editor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "packages/screen_control.h"
#include "terminal_screen.h"
#include "terminal_session.h"

namespace {

const std::string ESC = "\x1b";
const char NETMASK[] = "Enter routers netmask bit count";

// edit_line with the netmask question (proposed "24", 10 bytes) and keys;
// what the terminal got, and the answer after "=" on the last line.
TerminalSession netmask(const std::string& keys) {
    return run_on_terminal(
        [] {
            char answer[10];
            edit_line(NETMASK, "24", answer, sizeof answer);
            printf("\n=%s\n", answer);
            return 0;
        },
        {{"", keys}});
}

std::string answer_of(const TerminalSession& s) {
    size_t at = s.output.rfind("\r\n=");
    return at == std::string::npos ? "<none>" : s.output.substr(at + 3, s.output.size() - at - 5);
}

}  // namespace

// The proposed value in reverse video with the cursor shown; Enter takes it
// and shows it plain.
TEST(LineEditor, EnterAcceptsTheProposedValue) {
    TerminalSession s = netmask("\n");
    ASSERT_EQ(s.error, "");
    std::string prompt = ESC + "[2K\rEnter routers netmask bit count: " + ESC + "[m" + ESC +
                         "[7m24" + ESC + "[m" + ESC + "[?25h";
    EXPECT_EQ(s.output,
              prompt + "\rEnter routers netmask bit count: 24" + ESC + "[?25l\r\n=24\r\n");
    TerminalScreen screen;
    screen.feed(prompt);
    EXPECT_EQ(screen.row_text(1), "Enter routers netmask bit count: 24");
    EXPECT_EQ(screen.row_marks(1, ATTR_REVERSE), std::string(33, '.') + "##");
    EXPECT_FALSE(screen.cursor_hidden());
}

// The first key replaces the proposed value; backspace takes back only what
// was typed (nothing at the start, nothing of the proposed text); the
// field keeps 9 characters; keys are stored as typed.
TEST(LineEditor, TypingReplacesTheProposalWithinTheFieldSize) {
    TerminalSession typed = netmask("16\n");
    EXPECT_EQ(answer_of(typed), "16");
    EXPECT_NE(
        typed.output.find(ESC + "[2K\rEnter routers netmask bit count: 1" + "6" + ESC + "[?25l"),
        std::string::npos);

    EXPECT_EQ(answer_of(netmask("\x7f\x7f\n")), "24");
    TerminalSession back = netmask(
        "12\x7f\x7f\x7f"
        "3\n");
    EXPECT_EQ(answer_of(back), "3");
    EXPECT_NE(back.output.find(ESC + "[2K\rEnter routers netmask bit count: 1" + ESC +
                               "[2K\rEnter routers netmask bit count: " + "3"),
              std::string::npos)
        << back.output;

    EXPECT_EQ(answer_of(netmask("1234567890123\n")), "123456789");
    EXPECT_EQ(answer_of(netmask("ab c\n")), "ab c");

    TerminalSession address = run_on_terminal(
        [] {
            in_addr a;
            if (!ask_address("Enter routers IP address", a)) return 1;
            printf("\n=%s\n", inet_ntoa(a));
            return 0;
        },
        // Empty and invalid answers are asked again; 19 characters at most.
        {{"", "\n"}, {"", "10.0.0.300\n"}, {"", "10.1\n"}});
    EXPECT_EQ(answer_of(address), "10.0.0.1");
    size_t prompts = 0;
    for (size_t at = 0;
         (at = address.output.find("\rEnter routers IP address: ", at)) != std::string::npos; ++at)
        ++prompts;
    EXPECT_EQ(prompts, 3u);

    // The end of input: an address typed up to it is taken; otherwise the
    // question is left after one prompt, never asked again.
    for (const char* typed : {"", "10.0.0.300", "10.0.0.7"}) {
        TerminalSession ended = run_on_terminal(
            [typed] {
                int input[2];
                if (pipe(input) != 0 || write(input[1], typed, strlen(typed)) < 0) return 2;
                close(input[1]);
                dup2(input[0], 0);
                in_addr a;
                bool got = ask_address("Enter routers IP address", a);
                printf("\n=%s\n", got ? inet_ntoa(a) : "none");
                return 0;
            },
            {});
        EXPECT_EQ(ended.exit_code, 0);
        EXPECT_EQ(answer_of(ended), *typed == '\0' || typed[7] == '3' ? "none" : "10.0.0.7")
            << typed;
        EXPECT_EQ(ended.output.find("Enter routers IP address", ended.output.find("address") + 1),
                  std::string::npos)
            << ended.output;
    }

    TerminalSession longest = run_on_terminal(
        [] {
            char text[20];
            edit_line("Enter routers IP address", nullptr, text, sizeof text);
            printf("\n=%s\n", text);
            return 0;
        },
        {{"", "192.168.100.200abcdefgh\n"}});
    EXPECT_EQ(answer_of(longest), "192.168.100.200abcd");
}

// Only y and n answer, in either case; everything else rings the bell; the
// cursor is shown while the answer is awaited.
TEST(LineEditor, YesNoQuestionShowsTheCursorAndRingsTheBell) {
    TerminalSession s = run_on_terminal(
        [] {
            bool yes = ask_yes_no_with_cursor("Keep config?");
            printf("=%d\n", yes);
            return 0;
        },
        {{"", "x1Y"}});
    EXPECT_EQ(s.output, ESC + "[?25hKeep config? [y/n]:\a\ay\r\n" + ESC + "[?25l=1\r\n");
    TerminalSession no = run_on_terminal(
        [] {
            printf("=%d\n", ask_yes_no_with_cursor("Keep config?"));
            return 0;
        },
        {{"", "N"}});
    EXPECT_NE(no.output.find("n\r\n" + ESC + "[?25l=0"), std::string::npos);
}

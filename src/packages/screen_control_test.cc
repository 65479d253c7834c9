#include "packages/screen_control.h"

#include <gtest/gtest.h>

#include <string>

#include "packages/packages_test_support.h"

namespace {

template <typename Draw>
std::string output_of(Draw draw) {
    StdoutCapture capture;
    draw();
    return capture.finish();
}

TEST(ScreenControl, SequencesAreExact) {
    EXPECT_EQ("\033[25;0H", output_of([] { move_cursor(0, 25); }));
    EXPECT_EQ("\033[7;52H", output_of([] { move_cursor(52, 7); }));
    EXPECT_EQ("\033[255;255H", output_of([] { move_cursor(255, 255); }));
    EXPECT_EQ("\033[2J\033[H", output_of([] { clear_screen(); }));
    EXPECT_EQ("\033[?25l", output_of([] { hide_cursor(true); }));
    EXPECT_EQ("\033[?25h", output_of([] { hide_cursor(false); }));
    EXPECT_EQ("\033[2K", output_of([] { clear_line(); }));
}

TEST(ScreenControl, AttributesResetFirstThenFixedOrder) {
    EXPECT_EQ("\033[m", output_of([] { set_attributes(0); }));
    EXPECT_EQ("\033[m\033[1m", output_of([] { set_attributes(ATTR_BOLD); }));
    EXPECT_EQ("\033[m\033[7m", output_of([] { set_attributes(ATTR_REVERSE); }));
    EXPECT_EQ("\033[m\033[4m\033[7m\033[5m\033[1m", output_of([] {
                  set_attributes(ATTR_BOLD | ATTR_BLINK | ATTR_REVERSE | ATTR_UNDERLINE);
              }));
}

TEST(ScreenControl, PrintLineCentresOnEightyColumns) {
    EXPECT_EQ("abc\n", output_of([] { print_line("abcdef", 3, false); }));
    EXPECT_EQ(std::string(38, ' ') + "abcd\n", output_of([] { print_line("abcd", 4, true); }));
    // (80 - 5) / 2 rounds down.
    EXPECT_EQ(std::string(37, ' ') + "abcde\n", output_of([] { print_line("abcde", 5, true); }));
    std::string wide(81, 'w');
    EXPECT_EQ(wide + "\n", output_of([&] { print_line(wide.c_str(), 81, true); }));
    EXPECT_EQ(std::string(40, ' ') + "\n", output_of([] { print_line("", 0, true); }));
}

TEST(ScreenControl, PrintLinesKeepsThePieceAfterTheLastNewline) {
    EXPECT_EQ("one\ntwo\n", output_of([] { print_lines("one\ntwo", false); }));
    EXPECT_EQ("one\n\n", output_of([] { print_lines("one\n", false); }));
    EXPECT_EQ(std::string(39, ' ') + "ab\n" + std::string(40, ' ') + "\n",
              output_of([] { print_lines("ab\n", true); }));
}

TEST(ScreenControl, WrappedWordsFillLinesOfSeventyEightCharacters) {
    // Words separated by spaces and newlines alike; runs collapse.
    EXPECT_EQ("alpha beta gamma \n",
              output_of([] { print_wrapped("  alpha\n\nbeta    gamma\n", false); }));
    EXPECT_EQ("\n", output_of([] { print_wrapped("", false); }));
    EXPECT_EQ("\n", output_of([] { print_wrapped(" \n ", false); }));

    // Nine-character words: seven of them and their spaces make 70; the
    // eighth would make 80 and goes to the next line.
    std::string words;
    for (int i = 0; i < 8; ++i) words += "abcdefgh" + std::to_string(i) + " ";
    std::string first;
    for (int i = 0; i < 7; ++i) first += "abcdefgh" + std::to_string(i) + " ";
    EXPECT_EQ(first + "\nabcdefgh7 \n", output_of([&] { print_wrapped(words.c_str(), false); }));

    // A line may reach exactly 78 with its trailing space.
    std::string a(40, 'a'), b(36, 'b');
    EXPECT_EQ(a + " " + b + " \n", output_of([&] { print_wrapped((a + " " + b).c_str(), false); }));
    std::string c(37, 'c');
    EXPECT_EQ(a + " \n" + c + " \n",
              output_of([&] { print_wrapped((a + " " + c).c_str(), false); }));
}

TEST(ScreenControl, LongWordsStandAloneUncut) {
    std::string w77(77, 'x');
    EXPECT_EQ(w77 + " \n", output_of([&] { print_wrapped(w77.c_str(), false); }));
    std::string w78(78, 'y');
    EXPECT_EQ("\n" + w78 + " \n", output_of([&] { print_wrapped(w78.c_str(), false); }));
    std::string w100(100, 'z');
    EXPECT_EQ("ab \n" + w100 + " \ncd \n",
              output_of([&] { print_wrapped(("ab " + w100 + " cd").c_str(), false); }));
}

TEST(ScreenControl, WrappedLinesCentreWithTheirTrailingSpace) {
    // "ab " is 3 long: (80 - 3) / 2 = 38 spaces.
    EXPECT_EQ(std::string(38, ' ') + "ab \n", output_of([] { print_wrapped("ab", true); }));
    EXPECT_EQ(std::string(40, ' ') + "\n", output_of([] { print_wrapped("", true); }));
}

}  // namespace

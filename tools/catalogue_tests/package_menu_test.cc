// The selection menu as the operator sees it: the menu runs on a
// pseudo-terminal and its output is played into a model of the terminal.
#include "packages/package_menu.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "package_directory.h"
#include "packages/screen_control.h"
#include "terminal_screen.h"
#include "terminal_session.h"

namespace {

const char* const HELP_LINES[] = {
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'.",
    "Select all with 'a', minimum with 'm'. Press 'i' to install locally or 'r' to",
    "install remote router or 'q' to cancel and reboot.",
};

// The seven packages most cases use. Shown as system, ppp, dhcp / abc,
// firewall, snmp / web.
void add_seven(PackageDirectory& dir) {
    dir.add("web.vpk", "web", {"ppp", "dhcp"}, "Web interface.");
    dir.add("system.vpk", "system", {}, "The base system:\nkernel, shell and router commands.");
    dir.add("snmp.vpk", "snmp", {}, "Network management agent.");
    dir.add("ppp.vpk", "ppp", {"system"}, "Point-to-point links.");
    dir.add("firewall.vpk", "firewall", {"system", "ppp"}, "Packet filter.");
    dir.add("dhcp.vpk", "dhcp", {"system"}, "Address server.");
    dir.add("abc.vpk", "abc", {"nowhere"}, "");
}

// The child's exit code: per run r, bit 2r for the result and bit 2r+1 for
// remote_chosen afterwards.
int run_menu(const std::string& directory, int runs) {
    PackageMenu menu;
    open_package_menu(menu, directory.c_str());
    if (!scan_packages(menu, false)) return 100;
    int code = 0;
    for (int r = 0; r < runs; ++r) {
        if (run_package_menu(menu)) code |= 1 << (2 * r);
        if (remote_chosen(menu)) code |= 2 << (2 * r);
    }
    close_package_menu(menu);
    return code;
}

TerminalSession session(const PackageDirectory& dir, const std::string& keys, int runs = 1) {
    std::string directory = dir.path();
    return run_on_terminal([&] { return run_menu(directory, runs); }, {{"", keys}});
}

TerminalScreen screen_of(const TerminalSession& s) {
    TerminalScreen screen;
    screen.feed(s.output);
    return screen;
}

// The terminal column (from 0) where the grid column c starts: the menu
// sends columns 0, 26 and 52, and a terminal counts from 1, taking 0 as 1.
size_t screen_column(int c) {
    return c == 0 ? 0 : static_cast<size_t>(26 * c - 1);
}

// One grid row: the items (name and selected flag) of the three columns.
struct Item {
    const char* name;
    bool selected;
};
std::string grid_row(const std::vector<Item>& items) {
    std::string row(80, ' ');
    for (size_t c = 0; c < items.size(); ++c) {
        std::string text =
            std::string("  [") + (items[c].selected ? "X" : " ") + "] " + items[c].name + " ";
        row.replace(screen_column(static_cast<int>(c)), text.size(), text);
    }
    return row.substr(0, row.find_last_not_of(' ') + 1);
}

// The reverse cells of a highlighted item of that name length at column c.
std::string highlight(int column, size_t name_length) {
    return std::string(screen_column(column) + 1, '.') + std::string(name_length + 6, '#');
}

TEST(PackageMenu, SevenPackagesInThreeColumns) {
    PackageDirectory dir;
    add_seven(dir);
    TerminalSession s = session(dir, "q");
    ASSERT_EQ("", s.error);
    EXPECT_EQ(0, s.exit_code);
    TerminalScreen screen = screen_of(s);
    EXPECT_EQ("", screen.unknown_sequences());

    EXPECT_EQ(std::string(16, ' ') + "Welcome to Brindlex Router Software installation",
              screen.row_text(1));
    EXPECT_EQ(std::string(64, '#'), screen.row_marks(1, ATTR_BOLD));
    // The empty centred line is printed while the text is still bold.
    EXPECT_EQ("", screen.row_text(2));
    EXPECT_EQ(std::string(40, '#'), screen.row_marks(2, ATTR_BOLD));
    for (int r = 0; r < 3; ++r) EXPECT_EQ(HELP_LINES[r], screen.row_text(3 + r));
    EXPECT_EQ("", screen.row_text(6));
    EXPECT_EQ(grid_row({{"system", true}, {"abc", false}, {"web", false}}), screen.row_text(7));
    EXPECT_EQ(grid_row({{"ppp", false}, {"firewall", false}}), screen.row_text(8));
    EXPECT_EQ(grid_row({{"dhcp", false}, {"snmp", false}}), screen.row_text(9));
    for (int row = 10; row <= 20; ++row) EXPECT_EQ("", screen.row_text(row)) << row;
    EXPECT_EQ("system (depends on nothing):", screen.row_text(21));
    EXPECT_EQ("The base system: kernel, shell and router commands.", screen.row_text(22));
    for (int row = 23; row <= 25; ++row) EXPECT_EQ("", screen.row_text(row)) << row;

    EXPECT_EQ(highlight(0, 6), screen.row_marks(7, ATTR_REVERSE));
    for (int row = 1; row <= 25; ++row) {
        if (row != 7) {
            EXPECT_EQ("", screen.row_marks(row, ATTR_REVERSE)) << row;
        }
        if (row > 2) {
            EXPECT_EQ("", screen.row_marks(row, ATTR_BOLD)) << row;
        }
    }
    EXPECT_TRUE(screen.cursor_hidden());
    EXPECT_EQ(25, screen.cursor_row());
    EXPECT_EQ(1, screen.cursor_column());
    // The exact start: clear, hide the cursor, bold welcome line.
    EXPECT_EQ(0u, s.output.find("\033[2J\033[H\033[?25l\033[m\033[1m" + std::string(16, ' ') +
                                "Welcome"));
    EXPECT_EQ("\033[25;0H", s.output.substr(s.output.size() - 7));
}

TEST(PackageMenu, MovesAreRefusedAtTheEdges) {
    PackageDirectory dir;
    add_seven(dir);
    std::string plain = session(dir, "q").output;
    // Up, left and 'p' at the first item do nothing at all.
    EXPECT_EQ(plain, session(dir, "p\033[A\033[Dq").output);

    // Right twice to web (item 6), refused; left to abc, down to
    // firewall (item 4); right is refused there (4 + 3 is not below 7).
    TerminalSession s = session(dir, "\033[C\033[C\033[C\033[Dn\033[Cq");
    TerminalScreen screen = screen_of(s);
    EXPECT_EQ(grid_row({{"system", true}, {"abc", false}, {"web", false}}), screen.row_text(7));
    EXPECT_EQ("", screen.row_marks(7, ATTR_REVERSE));
    EXPECT_EQ(highlight(1, 8), screen.row_marks(8, ATTR_REVERSE));
    EXPECT_EQ("firewall (depends on system, ppp):", screen.row_text(21));
    EXPECT_EQ("Packet filter.", screen.row_text(22));

    // From web, the last item, 'n' and the down arrow are refused.
    std::string at_web = session(dir, "\033[C\033[Cq").output;
    EXPECT_EQ(at_web, session(dir, "\033[C\033[Cn\033[Bq").output);
    // Letters work in either case.
    EXPECT_EQ(session(dir, "nnpq").output, session(dir, "NNPQ").output);
}

TEST(PackageMenu, DetailsLineWithAndWithoutDependencies) {
    PackageDirectory dir;
    add_seven(dir);
    TerminalScreen ppp = screen_of(session(dir, "nq"));
    EXPECT_EQ("ppp (depends on system):", ppp.row_text(21));
    EXPECT_EQ("Point-to-point links.", ppp.row_text(22));
    // The previous description's second line is gone.
    EXPECT_EQ("", ppp.row_text(23));
    EXPECT_EQ(highlight(0, 3), ppp.row_marks(8, ATTR_REVERSE));
    EXPECT_EQ("", ppp.row_marks(7, ATTR_REVERSE));

    // abc depends on a name without a package; it has no description.
    TerminalScreen abc = screen_of(session(dir, "nnnq"));
    EXPECT_EQ("abc (depends on nowhere):", abc.row_text(21));
    EXPECT_EQ("", abc.row_text(22));
    TerminalScreen web = screen_of(session(dir, "\033[C\033[Cq"));
    EXPECT_EQ("web (depends on ppp, dhcp):", web.row_text(21));
}

TEST(PackageMenu, SpaceTogglesWithTheDependencyRules) {
    PackageDirectory dir;
    add_seven(dir);
    // A selected system: nothing changes and nothing is drawn.
    EXPECT_EQ(session(dir, "q").output, session(dir, " q").output);

    // web takes ppp and dhcp along; firewall takes ppp (already there).
    TerminalScreen s = screen_of(session(dir, "\033[C\033[C \033[Dn q"));
    EXPECT_EQ(grid_row({{"system", true}, {"abc", false}, {"web", true}}), s.row_text(7));
    EXPECT_EQ(grid_row({{"ppp", true}, {"firewall", true}}), s.row_text(8));
    EXPECT_EQ(grid_row({{"dhcp", true}, {"snmp", false}}), s.row_text(9));

    // Then ppp off: firewall and web, which need it, go too; dhcp stays.
    TerminalScreen off = screen_of(session(dir, "an q"));
    EXPECT_EQ(grid_row({{"system", true}, {"abc", true}, {"web", false}}), off.row_text(7));
    EXPECT_EQ(grid_row({{"ppp", false}, {"firewall", false}}), off.row_text(8));
    EXPECT_EQ(grid_row({{"dhcp", true}, {"snmp", true}}), off.row_text(9));

    // 'a' selects everything, 'm' brings back the minimum.
    TerminalScreen all = screen_of(session(dir, "aq"));
    EXPECT_EQ(grid_row({{"system", true}, {"abc", true}, {"web", true}}), all.row_text(7));
    TerminalScreen minimum = screen_of(session(dir, "amq"));
    EXPECT_EQ(grid_row({{"system", true}, {"abc", false}, {"web", false}}), minimum.row_text(7));
    EXPECT_EQ(grid_row({{"ppp", false}, {"firewall", false}}), minimum.row_text(8));
}

TEST(PackageMenu, EscapeSequences) {
    PackageDirectory dir;
    add_seven(dir);
    std::string plain = session(dir, "q").output;
    // Escape then q is an ordinary q.
    TerminalSession cancelled = session(dir, "\033q");
    EXPECT_EQ(0, cancelled.exit_code);
    EXPECT_EQ(plain, cancelled.output);
    // Escape [ Z, and escape [ followed by a lower-case letter, are ignored.
    EXPECT_EQ(plain, session(dir, "\033[Z\033[a\033[mq").output);
    // The arrows are the same moves as the letters.
    EXPECT_EQ(session(dir, "nnpq").output, session(dir, "\033[B\033[B\033[Aq").output);
    // After an escape only '[' starts a sequence: in escape, escape, '[',
    // 'A' the second escape and the '[' are ignored keys and the 'A' is
    // "select all"; the up arrow does not move.
    EXPECT_EQ(session(dir, "aq").output, session(dir, "\033\033[Aq").output);
    EXPECT_EQ(session(dir, "q").output, session(dir, "\033\033[q").output);
}

TEST(PackageMenu, EndingKeys) {
    PackageDirectory dir;
    add_seven(dir);
    EXPECT_EQ(1, session(dir, "i").exit_code);
    EXPECT_EQ(1, session(dir, "I").exit_code);
    EXPECT_EQ(0, session(dir, "Q").exit_code);
    // 'r', then the next run starts with remote_chosen false, the minimum
    // selection and the first item highlighted.
    TerminalSession s = session(dir, "na\033[Crq", 2);
    ASSERT_EQ("", s.error);
    EXPECT_EQ(3, s.exit_code);
    TerminalScreen screen = screen_of(s);
    EXPECT_EQ(grid_row({{"system", true}, {"abc", false}, {"web", false}}), screen.row_text(7));
    EXPECT_EQ(grid_row({{"ppp", false}, {"firewall", false}}), screen.row_text(8));
    EXPECT_EQ(highlight(0, 6), screen.row_marks(7, ATTR_REVERSE));
    EXPECT_EQ("", screen.row_marks(8, ATTR_REVERSE));
    EXPECT_EQ("system (depends on nothing):", screen.row_text(21));
    EXPECT_EQ(1 | 2 | 4, session(dir, "ri", 2).exit_code);
}

TEST(PackageMenu, EndOfInputCancels) {
    PackageDirectory dir;
    add_seven(dir);
    std::string directory = dir.path();
    TerminalSession s = run_on_terminal(
        [&] {
            int empty = open("/dev/null", O_RDONLY);
            dup2(empty, STDIN_FILENO);
            return run_menu(directory, 2);
        },
        {});
    ASSERT_EQ("", s.error);
    EXPECT_EQ(0, s.exit_code);
    TerminalScreen screen = screen_of(s);
    EXPECT_EQ(25, screen.cursor_row());
    EXPECT_EQ("system (depends on nothing):", screen.row_text(21));
}

TEST(PackageMenu, EverythingDrawnIsSentBeforeAKeyIsAwaited) {
    PackageDirectory dir;
    add_seven(dir);
    std::string directory = dir.path();
    TerminalSetup setup;
    setup.fully_buffered = true;
    // Each key is typed only once the screen it answers has arrived.
    TerminalSession s = run_on_terminal(
        [&] { return run_menu(directory, 1); },
        {{"commands.", "n"}, {"Point-to-point links.", "a"}, {"[X] snmp", "i"}}, setup);
    ASSERT_EQ("", s.error);
    EXPECT_EQ(1, s.exit_code);
    EXPECT_EQ("\033[25;0H", s.output.substr(s.output.size() - 7));
}

TEST(PackageMenu, OpeningTheMenuSwitchesToKeyInput) {
    LocalFlags flags = local_flags_around([] {
        PackageMenu menu;
        open_package_menu(menu, "/nonexistent");
    });
    unsigned changed = ICANON | ECHO;
    EXPECT_NE(0u, flags.before & changed);
    EXPECT_EQ(0u, flags.after & changed);
    EXPECT_EQ(flags.before & ~changed, flags.after);
    EXPECT_EQ(flags.vmin_before, flags.vmin_after);
    EXPECT_EQ(flags.vtime_before, flags.vtime_after);
}

TEST(PackageMenu, LongWordsInADescription) {
    PackageDirectory dir;
    std::string w77(77, 'x'), w78(78, 'y');
    dir.add("system.vpk", "system", {}, w77 + " tail");
    dir.add("ppp.vpk", "ppp", {}, w78);
    TerminalScreen first = screen_of(session(dir, "q"));
    EXPECT_EQ(w77, first.row_text(22));
    EXPECT_EQ("tail", first.row_text(23));
    TerminalSession s = session(dir, "nq");
    TerminalScreen second = screen_of(s);
    EXPECT_EQ("", second.row_text(22));
    EXPECT_EQ(w78, second.row_text(23));
    // An empty line, then the word alone with its space (the terminal turns
    // every newline into carriage return and line feed).
    EXPECT_NE(std::string::npos, s.output.find("nothing):\r\n\r\n" + w78 + " \r\n"));
}

TEST(PackageMenu, DefaultsFileSetsTheFirstOpeningSelection) {
    PackageDirectory dir;
    add_seven(dir);
    dir.add_raw("defpacks", "firewall snmp\nunknown\n");
    // firewall brings its dependencies system and ppp; a later run starts
    // from the minimum again.
    TerminalSession s = session(dir, "r", 1);
    TerminalScreen screen = screen_of(s);
    EXPECT_EQ(grid_row({{"system", true}, {"abc", false}, {"web", false}}), screen.row_text(7));
    EXPECT_EQ(grid_row({{"ppp", true}, {"firewall", true}}), screen.row_text(8));
    EXPECT_EQ(grid_row({{"dhcp", false}, {"snmp", true}}), screen.row_text(9));
    TerminalScreen again = screen_of(session(dir, "rq", 2));
    EXPECT_EQ(grid_row({{"ppp", false}, {"firewall", false}}), again.row_text(8));
    EXPECT_EQ(grid_row({{"dhcp", false}, {"snmp", false}}), again.row_text(9));
}

TEST(PackageMenu, MoreThanFortyTwoPackagesStayAboveTheDetails) {
    PackageDirectory dir;
    for (int i = 0; i < 50; ++i) {
        char name[16];
        snprintf(name, sizeof name, "pkg%02d", i);
        dir.add(std::string(name) + ".vpk", name);
    }
    TerminalScreen start = screen_of(session(dir, "q"));
    EXPECT_EQ(grid_row({{"pkg00", false}, {"pkg14", false}, {"pkg28", false}}), start.row_text(7));
    EXPECT_EQ(grid_row({{"pkg13", false}, {"pkg27", false}, {"pkg41", false}}), start.row_text(20));
    EXPECT_EQ("pkg00 (depends on nothing):", start.row_text(21));
    // Three steps right: the last column comes into view.
    TerminalScreen moved = screen_of(session(dir, "\033[C\033[C\033[Cq"));
    EXPECT_EQ(grid_row({{"pkg14", false}, {"pkg28", false}, {"pkg42", false}}), moved.row_text(7));
    EXPECT_EQ(grid_row({{"pkg27", false}, {"pkg41", false}}), moved.row_text(20));
    EXPECT_EQ(highlight(2, 5), moved.row_marks(7, ATTR_REVERSE));
    EXPECT_EQ("pkg42 (depends on nothing):", moved.row_text(21));
    EXPECT_EQ("", moved.row_text(22));
}

}  // namespace

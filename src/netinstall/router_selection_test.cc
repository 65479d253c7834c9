#include "netinstall/router_selection.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "netinstall/netinstall_test_support.h"
#include "packages/screen_control.h"
#include "terminal_screen.h"
#include "terminal_session.h"

namespace {

const std::string ESC = "\x1b";
const std::string A_LINE = " 02:00:00:00:02:01 (first) ";
const std::string B_LINE = " 02:00:00:00:03:01 (beta) ";

// The server on a pseudo-terminal inside ns: select_router, then a line
// with its result.
int choose(const NetNamespace& ns) {
    if (!enter_namespace(ns)) return 100;
    RouterInstaller installer;
    open_router_installer(installer);
    bool picked = select_router(installer);
    printf("\nresult %d", picked);
    if (picked) {
        printf(" %s", format_mac(installer.selected->mac));
        printf(" on %s", format_mac(installer.selected->endpoint->mac));
    }
    printf(" count %d\n", installer.router_count);
    close_router_installer(installer);
    return 0;
}

// The screen after the output up to (not including) the draw-th drawing
// of the list, and the output of each drawing, in order.
std::vector<std::string> drawings(const std::string& output) {
    std::vector<std::string> frames;
    const std::string start = ESC + "[5;0H";
    size_t at = output.find(start);
    while (at != std::string::npos) {
        size_t next = output.find(start, at + 1);
        frames.push_back(output.substr(at, next == std::string::npos ? next : next - at));
        at = next;
    }
    return frames;
}

// Which router a drawing highlights: the text of its reverse-video line.
std::string highlighted(const std::string& frame) {
    size_t at = frame.find(ESC + "[m" + ESC + "[7m");
    if (at == std::string::npos) return "";
    size_t start = at + 7;
    return frame.substr(start, frame.find('\r', start) - start);
}

}  // namespace

// Two routers announce themselves on a segment where the server has two
// cards: each is listed once, newest first, with the label of its first
// announcement; the first one found stays highlighted until a key moves
// the highlight; every key of the table; Enter picks the highlighted one.
TEST(RouterSelection, ListsRoutersAndMovesTheHighlightWithEveryKey) {
    NetNamespace hub, server, a, b;
    ASSERT_TRUE(create_namespace(hub) && create_namespace(server) && create_namespace(a) &&
                create_namespace(b))
        << "private network namespaces are needed (run as root)";
    ASSERT_TRUE(add_segment(hub, "lan") &&
                join_segment(hub, "lan", server, "srv0", mac_option(SERVER_MAC)) &&
                join_segment(hub, "lan", server, "srv1", mac_option(SERVER_MAC_2)) &&
                join_segment(hub, "lan", a, "cli0", mac_option(CLIENT_MAC)) &&
                join_segment(hub, "lan", b, "oth0", mac_option(OTHER_CLIENT_MAC)));
    LabProcess router_a, router_b;
    ASSERT_TRUE(
        start_in_namespace(router_a, a, [] { return scripted_router("cli0", CLIENT_MAC); }));
    ASSERT_TRUE(
        start_in_namespace(router_b, b, [] { return scripted_router("oth0", OTHER_CLIENT_MAC); }));
    ASSERT_TRUE(wait_for_output(router_a, "ready\n", 10000));
    ASSERT_TRUE(wait_for_output(router_b, "ready\n", 10000));

    // Keys typed at once: n at the bottom (redrawn, stays), p, p and up at
    // the top (nothing, no redraw), down, right (nothing), ESC n, P, N,
    // ESC p, then Enter.
    std::string keys = "npp" + ESC + "[A" + ESC + "[B" + ESC + "[C" + ESC + "nPN" + ESC + "p\n";
    TerminalSession s = run_on_terminal([&] { return choose(server); },
                                        {{"Looking for routers on 2 interfaces...", "",
                                          [&] {
                                              send_keys(router_a, "first\n");
                                              wait_for_output(router_a, "announced first\n", 5000);
                                          }},
                                         {"Found 1 router: ", "",
                                          [&] {
                                              // A second announcement with another label changes
                                              // nothing; after it, another router.
                                              send_keys(router_a, "second\n");
                                              wait_for_output(router_a, "announced second\n", 5000);
                                              usleep(300000);
                                              send_keys(router_b, "beta\n");
                                          }},
                                         {"Found 2 routers: ", keys, [] { usleep(300000); }}});
    finish_processes({&router_a, &router_b}, 1000);
    ASSERT_EQ(s.error, "") << s.output;
    EXPECT_EQ(s.exit_code, 0);

    // The fixed texts, byte for byte.
    const std::string top = ESC + "[2J" + ESC +
                            "[HSelect router using 'p' and 'n' or arrow keys. Press 'enter' to "
                            "proceed or \r\n'q' to return \r\n\r\nLooking for routers on 2 "
                            "interfaces...\r\n";
    EXPECT_EQ(s.output.substr(0, top.size()), top);
    EXPECT_NE(s.output.find(ESC + "[5;0HFound 1 router: \r\n\r\n" + ESC + "[m" + ESC + "[2K" + ESC +
                            "[m" + ESC + "[7m" + A_LINE + "\r\n" + ESC + "[m" + ESC + "[2K"),
              std::string::npos);
    EXPECT_EQ(s.output.find("second"), std::string::npos);

    // One drawing when the list opens, one per router found, then one per
    // key that moves or keeps the highlight; none for p and up at the top.
    std::vector<std::string> frames = drawings(s.output);
    std::vector<std::string> expected = {"",     A_LINE, A_LINE, A_LINE, B_LINE,
                                         A_LINE, A_LINE, B_LINE, A_LINE, B_LINE};
    ASSERT_EQ(frames.size(), expected.size()) << s.output;
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(highlighted(frames[i]), expected[i]) << i;
    EXPECT_NE(s.output.find("\r\nresult 1 02:00:00:00:03:01 on 02:00:00:00:01:0"),
              std::string::npos)
        << s.output;
    EXPECT_NE(s.output.find(" count 2\r\n"), std::string::npos);

    // The final screen: the newest router on top, highlighted.
    TerminalScreen screen;
    screen.feed(s.output.substr(0, s.output.rfind("\r\nresult")));
    EXPECT_EQ(screen.row_text(4), "Looking for routers on 2 interfaces...");
    EXPECT_EQ(screen.row_text(5), "Found 2 routers:");
    EXPECT_EQ(screen.row_text(7), B_LINE.substr(0, B_LINE.size() - 1));
    EXPECT_EQ(screen.row_text(8), A_LINE.substr(0, A_LINE.size() - 1));
    EXPECT_EQ(screen.row_marks(7, ATTR_REVERSE), std::string(B_LINE.size(), '#'));
    EXPECT_EQ(screen.row_marks(8, ATTR_REVERSE), "");
    EXPECT_EQ(screen.unknown_sequences(), "");
    for (NetNamespace* ns : {&hub, &server, &a, &b}) close_namespace(*ns);
}

// Without any interface only the keys work: Enter with an empty list does
// nothing, Q returns to row 25. ESC q returns as well; a signal ends the
// wait without moving the cursor.
TEST(RouterSelection, ReturnsWithQOrWhenTheWaitFails) {
    NetNamespace empty;
    ASSERT_TRUE(create_namespace(empty)) << "private network namespaces are needed (run as root)";
    TerminalSession s =
        run_on_terminal([&] { return choose(empty); },
                        {{"Looking for routers on 0 interfaces...", "\nx" + ESC + "[AQ"}});
    ASSERT_EQ(s.error, "") << s.output;
    EXPECT_NE(s.output.find("Looking for routers on 0 interfaces...\r\n" + ESC + "[5;0H" + ESC +
                            "[m" + ESC + "[2K" + ESC + "[25;0H\r\nresult 0 count 0\r\n"),
              std::string::npos)
        << s.output;

    TerminalSession escaped =
        run_on_terminal([&] { return choose(empty); }, {{"0 interfaces...", ESC + "q"}});
    EXPECT_NE(escaped.output.find(ESC + "[25;0H\r\nresult 0 count 0"), std::string::npos);

    TerminalSession interrupted = run_on_terminal(
        [&] {
            // A signal every second: on a loaded machine the first may come
            // before the wait has begun. select is never restarted, the
            // printing after it is.
            struct sigaction action = {};
            action.sa_handler = [](int) {};
            action.sa_flags = SA_RESTART;
            sigaction(SIGALRM, &action, nullptr);
            struct itimerval every_second = {{1, 0}, {1, 0}};
            setitimer(ITIMER_REAL, &every_second, nullptr);
            return choose(empty);
        },
        {});
    EXPECT_NE(interrupted.output.find("\r\nresult 0 count 0"), std::string::npos);
    EXPECT_EQ(interrupted.output.find(ESC + "[25;0H"), std::string::npos);
    close_namespace(empty);
}

#include "netinstall/router_installer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console/console_test_support.h"
#include "netinstall/router_selection.h"

namespace {

const uint8_t R1[MAC_LENGTH] = {2, 0, 0, 0, 0, 1};
const uint8_t R2[MAC_LENGTH] = {2, 0, 0, 0, 0, 2};
const uint8_t R3[MAC_LENGTH] = {2, 0, 0, 0, 0, 3};

std::vector<uint8_t> announcement(const uint8_t* mac, const char* label) {
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, mac, MAC_LENGTH);
    std::vector<uint8_t> d(MAX_DATAGRAM);
    d.resize(static_cast<size_t>(build_discovery(link, d.data(), label)));
    return d;
}

bool record(RouterInstaller& installer, NetEndpoint& on, const std::vector<uint8_t>& d) {
    return record_router(installer, on, d.data(), static_cast<int>(d.size()));
}

std::string labels(const RouterInstaller& installer) {
    std::string text;
    for (RouterEntry* e = installer.routers; e != nullptr; e = e->next)
        text += std::string(e->label) + (e == installer.selected ? "*" : "") + " ";
    return text;
}

}  // namespace

// Newest first, one entry per MAC with the endpoint and label of its first
// announcement, the first router found selected; the highlight moves up to
// the top and down to the bottom and no further.
TEST(RouterInstaller, KeepsOneEntryPerRouterNewestFirst) {
    RouterInstaller installer;
    init_link(installer.link);
    NetEndpoint first, second;
    EXPECT_TRUE(record(installer, first, announcement(R1, "one")));
    EXPECT_FALSE(record(installer, second, announcement(R1, "again")));
    EXPECT_TRUE(record(installer, second, announcement(R2, "two")));
    EXPECT_TRUE(record(installer, first, announcement(R3, "three")));
    // Not an announcement: an offer-like text, or a cut datagram.
    std::vector<uint8_t> cut = announcement(R2, "x");
    cut.pop_back();
    EXPECT_FALSE(record(installer, first, cut));
    EXPECT_EQ(labels(installer), "three two one* ");
    EXPECT_EQ(installer.router_count, 3);
    EXPECT_EQ(find_router(installer, R1)->endpoint, &first);
    EXPECT_EQ(find_router(installer, R2)->endpoint, &second);

    std::string drawn = capture_stdout([&] {
        select_next(installer);  // at the bottom: redrawn, stays
        select_previous(installer);
        select_previous(installer);
        select_previous(installer);  // at the top: nothing at all
    });
    EXPECT_EQ(labels(installer), "three* two one ");
    size_t draws = 0;
    for (size_t at = 0; (at = drawn.find("\x1b[5;0H", at)) != std::string::npos; ++at) ++draws;
    EXPECT_EQ(draws, 3u);

    close_router_installer(installer);
    EXPECT_EQ(installer.routers, nullptr);
    EXPECT_EQ(installer.selected, nullptr);
    EXPECT_EQ(installer.router_count, 0);
}

// A label is what a router sent: anything that would steer the operator's
// terminal is shown as '?'.
TEST(RouterInstaller, ShowsOnlyPrintableLabelCharacters) {
    RouterInstaller installer;
    init_link(installer.link);
    NetEndpoint on;
    ASSERT_TRUE(record(installer, on, announcement(R1, "a\x1b[2J\tb")));
    std::string drawn = capture_stdout([&] { draw_router_list(installer); });
    EXPECT_NE(drawn.find(" 02:00:00:00:00:01 (a?[2J?b) \n"), std::string::npos) << drawn;
    close_router_installer(installer);
}

// The list keeps MAX_ROUTERS routers and says that it is full; every one
// of them is found by its MAC, and further routers are not listed.
TEST(RouterInstaller, KeepsABoundedListAndSaysWhenItIsFull) {
    RouterInstaller installer;
    init_link(installer.link);
    NetEndpoint on;
    auto mac = [](int n) {
        return std::vector<uint8_t>{
            2, 0, 0, 1, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    };
    for (int n = 0; n < MAX_ROUTERS + 20; ++n)
        EXPECT_EQ(record(installer, on, announcement(mac(n).data(), "r")), n < MAX_ROUTERS) << n;
    EXPECT_EQ(installer.router_count, MAX_ROUTERS);
    EXPECT_TRUE(router_list_full(installer));
    for (int n = 0; n < MAX_ROUTERS + 20; ++n) {
        RouterEntry* entry = find_router(installer, mac(n).data());
        EXPECT_EQ(entry != nullptr, n < MAX_ROUTERS) << n;
        if (entry != nullptr) {
            EXPECT_TRUE(same_mac(entry->mac, mac(n).data()));
        }
    }
    std::string drawn = capture_stdout([&] { draw_router_list(installer); });
    EXPECT_NE(drawn.find(std::string(" (r) \n\x1b[m\x1b[2K") + ROUTER_LIST_FULL + "\n"),
              std::string::npos)
        << drawn.substr(drawn.size() - 200);
    close_router_installer(installer);
    EXPECT_EQ(find_router(installer, mac(0).data()), nullptr);
}

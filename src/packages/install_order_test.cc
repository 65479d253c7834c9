#include "packages/install_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packages/packages_test_support.h"

namespace {

using Names = std::vector<std::string>;

// Every package the order delivers, by name.
Names delivered(InstallOrder& order) {
    Names names;
    char path[PACKAGE_PATH_SIZE];
    while (next_package_path(order, path)) {
        char name[PACKAGE_NAME_BUFFER];
        current_package_name(order, name);
        EXPECT_EQ("/media/" + std::string(name) + ".vpk", path);
        names.push_back(name);
    }
    return names;
}

Names install(TestCatalogue& c) {
    InstallOrder order;
    EXPECT_TRUE(build_install_order(order, c.list));
    Names names = delivered(order);
    free_install_order(order);
    return names;
}

TEST(InstallOrder, DependenciesComeFirstInListingOrder) {
    TestCatalogue c({{"ppp", {"system"}, ""}, {"system", {}, ""}, {"dhcp", {"system"}, ""}});
    select_all(c.list);
    EXPECT_EQ((Names{"system", "ppp", "dhcp"}), install(c));
}

TEST(InstallOrder, NeededPackagesArePlacedEvenWhenNotSelected) {
    TestCatalogue c({{"web", {"ppp", "missing"}, ""},
                     {"ppp", {"system"}, ""},
                     {"system", {}, ""},
                     {"dhcp", {}, ""}});
    c["web"].selected = true;
    EXPECT_EQ((Names{"system", "ppp", "web"}), install(c));
    TestCatalogue none({{"ppp", {}, ""}});
    EXPECT_EQ(Names{}, install(none));
}

TEST(InstallOrder, DeliversOnceThenStopsAndRewinds) {
    TestCatalogue c({{"ppp", {"system"}, ""}, {"system", {}, ""}});
    c["ppp"].selected = true;
    InstallOrder order;
    ASSERT_TRUE(build_install_order(order, c.list));
    EXPECT_EQ(2, order.total);
    EXPECT_EQ((Names{"system", "ppp"}), delivered(order));
    char path[PACKAGE_PATH_SIZE];
    EXPECT_FALSE(next_package_path(order, path));
    order.position = 0;
    EXPECT_EQ((Names{"system", "ppp"}), delivered(order));
    free_install_order(order);
}

TEST(InstallOrder, IsASnapshotOfTheSelection) {
    TestCatalogue c({{"ppp", {}, ""}, {"dhcp", {}, ""}});
    c["ppp"].selected = true;
    InstallOrder order;
    ASSERT_TRUE(build_install_order(order, c.list));
    c["dhcp"].selected = true;
    c["ppp"].selected = false;
    EXPECT_EQ((Names{"ppp"}), delivered(order));
    free_install_order(order);
}

TEST(InstallOrder, ACycleEndsWithTheFirstReachedMemberLast) {
    TestCatalogue c({{"a", {"b"}, ""}, {"b", {"c"}, ""}, {"c", {"a"}, ""}, {"self", {"self"}, ""}});
    select_all(c.list);
    EXPECT_EQ((Names{"c", "b", "a", "self"}), install(c));
}

TEST(InstallOrder, SixteenCharacterNamesComeBackTerminated) {
    TestCatalogue c({{"abcdefghijklmnop", {}, ""}});
    memset(c.list.entries[0].header.extra, 'Z', sizeof c.list.entries[0].header.extra);
    select_all(c.list);
    InstallOrder order;
    ASSERT_TRUE(build_install_order(order, c.list));
    char path[PACKAGE_PATH_SIZE];
    ASSERT_TRUE(next_package_path(order, path));
    char name[PACKAGE_NAME_BUFFER];
    memset(name, 'x', sizeof name);
    current_package_name(order, name);
    EXPECT_EQ(0, memcmp(name, "abcdefghijklmnop\0\0\0\0", 20));
    free_install_order(order);
}

}  // namespace

#include "packages/package_catalogue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "packages/packages_test_support.h"

namespace {

using Names = std::vector<std::string>;

Names shown(PackageList& list) {
    std::unique_ptr<PackageInfo*[]> items(display_order(list));
    Names names;
    for (int i = 0; i < list.count; ++i) names.push_back(TestCatalogue::name_of(*items[i]));
    return names;
}

TEST(PackageCatalogue, ShowsSystemPppDhcpFirstThenByName) {
    TestCatalogue a(
        {{"web", {}, ""}, {"dhcp", {}, ""}, {"abc", {}, ""}, {"system", {}, ""}, {"ppp", {}, ""}});
    EXPECT_EQ((Names{"system", "ppp", "dhcp", "abc", "web"}), shown(a.list));
    TestCatalogue b(
        {{"ppp", {}, ""}, {"abc", {}, ""}, {"web", {}, ""}, {"system", {}, ""}, {"dhcp", {}, ""}});
    EXPECT_EQ((Names{"system", "ppp", "dhcp", "abc", "web"}), shown(b.list));
    // Missing preferred names are skipped; byte order, so upper case first.
    TestCatalogue c({{"zeta", {}, ""}, {"Zeta", {}, ""}, {"dhcp", {}, ""}, {"alpha", {}, ""}});
    EXPECT_EQ((Names{"dhcp", "Zeta", "alpha", "zeta"}), shown(c.list));
}

TEST(PackageCatalogue, EqualNamesKeepListingOrderAndLookupsTakeTheFirst) {
    TestCatalogue c({{"tools", {}, "second"}, {"ppp", {}, ""}, {"tools", {}, "third"}});
    EXPECT_EQ(0, find_package(c.list, "tools"));
    EXPECT_EQ(-1, find_package(c.list, "tool"));
    std::unique_ptr<PackageInfo*[]> items(display_order(c.list));
    EXPECT_EQ(&c.list.entries[1], items[0]);
    EXPECT_EQ(&c.list.entries[0], items[1]);
    EXPECT_EQ(&c.list.entries[2], items[2]);
}

TEST(PackageCatalogue, NamesCompareOverSixteenBytes) {
    TestCatalogue c({{"abcdefghijklmnop", {}, ""}});
    EXPECT_EQ(0, find_package(c.list, "abcdefghijklmnop"));
    EXPECT_EQ(0, find_package(c.list, "abcdefghijklmnopqrs"));
    EXPECT_EQ(-1, find_package(c.list, "abcdefghijklmno"));
}

TEST(PackageCatalogue, MinimumIsSystemAlone) {
    TestCatalogue c({{"ppp", {"system"}, ""}, {"system", {}, ""}});
    select_all(c.list);
    EXPECT_EQ((Names{"ppp", "system"}), c.selected());
    select_minimum(c.list);
    EXPECT_EQ((Names{"system"}), c.selected());

    TestCatalogue bare({{"ppp", {}, ""}, {"web", {}, ""}});
    select_all(bare.list);
    select_minimum(bare.list);
    EXPECT_EQ(Names{}, bare.selected());
}

TEST(PackageCatalogue, SelectingTakesDirectDependenciesAlong) {
    TestCatalogue c({{"web", {"ppp", "nowhere", "dhcp"}, ""},
                     {"ppp", {"system"}, ""},
                     {"dhcp", {}, ""},
                     {"system", {}, ""}});
    std::unique_ptr<PackageInfo*[]> items(display_order(c.list));
    int web = 3;  // system, ppp, dhcp, web
    ASSERT_EQ(&c["web"], items[web]);
    EXPECT_TRUE(toggle_selection(c.list, items.get(), web));
    // ppp's own dependency, system, is not taken along.
    EXPECT_EQ((Names{"web", "ppp", "dhcp"}), c.selected());
}

TEST(PackageCatalogue, DeselectingDropsDirectDependentsOnly) {
    // A depends on B, C depends on A.
    TestCatalogue c({{"A", {"B"}, ""}, {"B", {}, ""}, {"C", {"A"}, ""}});
    select_all(c.list);
    std::unique_ptr<PackageInfo*[]> items(display_order(c.list));
    ASSERT_EQ(&c["B"], items[1]);
    EXPECT_TRUE(toggle_selection(c.list, items.get(), 1));
    EXPECT_EQ((Names{"C"}), c.selected());
}

TEST(PackageCatalogue, SelectedSystemCannotBeDeselected) {
    TestCatalogue c({{"system", {}, ""}, {"ppp", {"system"}, ""}, {"systemd", {}, ""}});
    select_all(c.list);
    std::unique_ptr<PackageInfo*[]> items(display_order(c.list));
    EXPECT_FALSE(toggle_selection(c.list, items.get(), 0));
    EXPECT_EQ((Names{"system", "ppp", "systemd"}), c.selected());
    // Only the exact name is protected.
    EXPECT_TRUE(toggle_selection(c.list, items.get(), 2));
    EXPECT_EQ((Names{"system", "ppp"}), c.selected());
    // An unselected system is selected like any other package.
    select_minimum(c.list);
    c["system"].selected = false;
    EXPECT_TRUE(toggle_selection(c.list, items.get(), 0));
    EXPECT_EQ((Names{"system"}), c.selected());
}

}  // namespace

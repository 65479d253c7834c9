// The catalogue read from real package files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "package_directory.h"
#include "packages/install_order.h"
#include "packages/package_catalogue.h"
#include "packages/packages_test_support.h"

// The largest array the code under test asked for without exceptions (the
// catalogue's way of asking for memory). Counted in the plain build only:
// the address sanitizer keeps its own books on every allocation.
static size_t largest_nothrow_array = 0;
#if !defined(__SANITIZE_ADDRESS__)
void* operator new[](size_t size, const std::nothrow_t& nothrow) noexcept {
    largest_nothrow_array = std::max(largest_nothrow_array, size);
    return ::operator new(size, nothrow);
}
#endif

namespace {

using Names = std::vector<std::string>;

// A catalogue that is released at the end of the test.
struct ScannedList : PackageList {
    ~ScannedList() { free_package_list(*this); }
};

struct Scan {
    bool ok = false;
    std::string output;  // what the scan printed
};

Scan scan(PackageList& list, const PackageDirectory& dir, bool initially_selected = false) {
    init_package_list(list, dir.c_str());
    StdoutCapture capture;
    Scan result;
    result.ok = scan_packages(list, initially_selected);
    result.output = capture.finish();
    return result;
}

std::string name_of(const PackageInfo& info) {
    return TestCatalogue::name_of(info);
}

Names sorted_names(const PackageList& list) {
    Names names;
    for (int i = 0; i < list.count; ++i) names.push_back(name_of(list.entries[i]));
    std::sort(names.begin(), names.end());
    return names;
}

Names shown(PackageList& list) {
    std::unique_ptr<PackageInfo*[]> items(display_order(list));
    Names names;
    for (int i = 0; i < list.count; ++i) names.push_back(name_of(*items[i]));
    return names;
}

Names install(const PackageList& list) {
    InstallOrder order;
    EXPECT_TRUE(build_install_order(order, list));
    Names names;
    char path[PACKAGE_PATH_SIZE];
    while (next_package_path(order, path)) {
        char name[PACKAGE_NAME_BUFFER];
        current_package_name(order, name);
        names.push_back(name);
    }
    free_install_order(order);
    return names;
}

void select(PackageList& list, const Names& names) {
    for (const std::string& name : names)
        list.entries[find_package(list, name.c_str())].selected = true;
}

TEST(CatalogueScan, ReadsNameDescriptionAndDependencies) {
    PackageDirectory dir;
    dir.add("ppp.vpk", "ppp", {"system", "nowhere"}, "Point-to-point links\nover serial lines.");
    ScannedList list;
    Scan s = scan(list, dir, true);
    ASSERT_TRUE(s.ok) << s.output;
    EXPECT_EQ("", s.output);
    ASSERT_EQ(1, list.count);
    const PackageInfo& ppp = list.entries[0];
    EXPECT_EQ(dir.path() + "/ppp.vpk", ppp.path);
    EXPECT_EQ("ppp", name_of(ppp));
    EXPECT_STREQ("Point-to-point links\nover serial lines.", ppp.description);
    ASSERT_EQ(2, ppp.dependency_count);
    EXPECT_EQ(0, compare_package_names(ppp.dependencies[0].name, "system"));
    EXPECT_EQ(0, compare_package_names(ppp.dependencies[1].name, "nowhere"));
    EXPECT_TRUE(ppp.selected);
}

TEST(CatalogueScan, OnlyNamesEndingInDotVpkCount) {
    PackageDirectory dir;
    dir.add("a.vpk", "a");
    dir.add("b.VPK", "b");
    dir.add(".vpk", "dot");
    dir.add("c.vpkx", "c");
    dir.add_raw("vpk", "not a package");
    ScannedList list;
    ASSERT_TRUE(scan(list, dir).ok);
    EXPECT_EQ((Names{"a", "dot"}), sorted_names(list));
    for (int i = 0; i < list.count; ++i) EXPECT_FALSE(list.entries[i].selected);
}

TEST(CatalogueScan, NoPackagesIsFatal) {
    PackageDirectory dir;
    dir.add("system.VPK", "system");
    ScannedList list;
    Scan s = scan(list, dir);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ("FATAL ERROR: No packages found\n", s.output);

    ScannedList missing;
    init_package_list(missing, "/nonexistent/catalogue");
    StdoutCapture capture;
    EXPECT_FALSE(scan_packages(missing, false));
    EXPECT_EQ("FATAL ERROR: No packages found\n", capture.finish());
}

TEST(CatalogueScan, APackageThatDoesNotStartWithItsIdentificationIsBad) {
    PackageDirectory dir;
    dir.add_raw(
        "late.vpk",
        package_bytes({{7, "content"}, {2, "description first"}, {1, name_record("late")}}));
    ScannedList list;
    Scan s = scan(list, dir);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ("FATAL ERROR: Bad package " + dir.path() + "/late.vpk\n", s.output);
}

TEST(CatalogueScan, BrokenFilesAreBadPackages) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    std::string big_count = "\xff\xff";
    std::vector<Case> cases = {
        {"empty file", ""},
        {"wrong magic", std::string("\x01\x02\x03\x04\0\0\0\0", 8)},
        {"no parts", package_bytes({})},
        {"short identification", package_bytes({{1, "short"}})},
        {"description cut short",
         package_bytes({{1, name_record("x")}, {2, std::string(100, 'd')}}).substr(0, 8 + 38 + 9)},
        {"dependency list cut short",
         package_bytes({{1, name_record("x")}, {2, "d"}, {3, big_count + name_record("system")}})},
    };
    for (const Case& c : cases) {
        PackageDirectory dir;
        dir.add("good.vpk", "good");
        dir.add_raw("broken.vpk", c.bytes);
        ScannedList list;
        Scan s = scan(list, dir);
        EXPECT_FALSE(s.ok) << c.what;
        EXPECT_EQ("FATAL ERROR: Bad package " + dir.path() + "/broken.vpk\n", s.output) << c.what;
    }
}

TEST(CatalogueScan, PartsLongerThanTheirFileAskForNoMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "allocations are counted in the plain build";
#endif
    std::string huge_length = package_bytes({{1, name_record("huge")}, {2, "short"}});
    // The description's length field: 4 GiB - 16 in a file of 57 bytes.
    huge_length.replace(8 + 6 + 32 + 2, 4, "\xf0\xff\xff\xff");
    std::string many_records =
        package_bytes({{1, name_record("many")}, {2, ""}, {3, "\xff\xff" + name_record("x")}});
    for (const std::string& bytes : {huge_length, many_records}) {
        PackageDirectory dir;
        dir.add_raw("big.vpk", bytes);
        ScannedList list;
        largest_nothrow_array = 0;
        Scan s = scan(list, dir);
        EXPECT_FALSE(s.ok);
        EXPECT_EQ("FATAL ERROR: Bad package " + dir.path() + "/big.vpk\n", s.output);
        EXPECT_LT(largest_nothrow_array, size_t(4096));
    }
}

TEST(CatalogueScan, MissingPartsAndUnwantedPartsAreAccepted) {
    PackageDirectory dir;
    // Parts 1 and 3 only: the dependency list stands where the description
    // is looked for and is passed over.
    dir.add_raw("nodesc.vpk",
                package_bytes({{1, name_record("nodesc")},
                               {3, std::string("\x01\x00", 2) + name_record("system")}}));
    // Long identification data, content parts in between.
    dir.add_raw("long.vpk",
                package_bytes({{9, std::string(10000, 'c')},
                               {1, name_record("long") + "more"},
                               {4, "x"},
                               {2, ""},
                               {65535, "y"},
                               {3, std::string("\x01\x00", 2) + name_record("nodesc")}}));
    ScannedList list;
    Scan s = scan(list, dir);
    ASSERT_TRUE(s.ok) << s.output;
    const PackageInfo& nodesc = list.entries[find_package(list, "nodesc")];
    EXPECT_STREQ("", nodesc.description);
    EXPECT_EQ(0, nodesc.dependency_count);
    const PackageInfo& lng = list.entries[find_package(list, "long")];
    EXPECT_STREQ("", lng.description);
    ASSERT_EQ(1, lng.dependency_count);
    EXPECT_EQ(0, compare_package_names(lng.dependencies[0].name, "nodesc"));
}

TEST(CatalogueScan, SixteenCharacterNames) {
    PackageDirectory dir;
    dir.add("long.vpk", "abcdefghijklmnop", {"qrstuvwxyzabcdef"});
    dir.add("dep.vpk", "qrstuvwxyzabcdef");
    ScannedList list;
    ASSERT_TRUE(scan(list, dir).ok);
    int index = find_package(list, "abcdefghijklmnop");
    ASSERT_GE(index, 0);
    EXPECT_EQ(0, memcmp(list.entries[index].header.name, "abcdefghijklmnop", 16));
    list.entries[index].selected = true;

    InstallOrder order;
    ASSERT_TRUE(build_install_order(order, list));
    ASSERT_EQ(2, order.total);
    char path[PACKAGE_PATH_SIZE];
    char name[PACKAGE_NAME_BUFFER];
    ASSERT_TRUE(next_package_path(order, path));
    EXPECT_EQ(dir.path() + "/dep.vpk", path);
    ASSERT_TRUE(next_package_path(order, path));
    memset(name, 'x', sizeof name);
    current_package_name(order, name);
    EXPECT_EQ(0, memcmp(name, "abcdefghijklmnop\0\0\0\0", 20));
    free_install_order(order);
}

TEST(CatalogueScan, TwoFilesWithOneNameAreBothListed) {
    PackageDirectory dir;
    dir.add("one.vpk", "tools", {}, "one");
    dir.add("two.vpk", "tools", {}, "two");
    ScannedList list;
    ASSERT_TRUE(scan(list, dir).ok);
    ASSERT_EQ(2, list.count);
    EXPECT_EQ(0, find_package(list, "tools"));
    EXPECT_EQ((Names{"tools", "tools"}), shown(list));
    select_all(list);
    // The installation order finds the first for both.
    EXPECT_EQ((Names{"tools", "tools"}), install(list));
}

TEST(CatalogueScan, DisplayOrderWhateverTheListing) {
    PackageDirectory dir;
    for (const char* name : {"web", "dhcp", "abc", "system", "ppp"}) {
        dir.add(std::string(name) + ".vpk", name);
    }
    ScannedList list;
    ASSERT_TRUE(scan(list, dir).ok);
    EXPECT_EQ((Names{"system", "ppp", "dhcp", "abc", "web"}), shown(list));
}

TEST(CatalogueScan, DependencyRulesAndInstallationOrder) {
    PackageDirectory dir;
    dir.add("a.vpk", "A", {"B", "ghost"});
    dir.add("b.vpk", "B");
    dir.add("c.vpk", "C", {"A"});
    ScannedList list;
    ASSERT_TRUE(scan(list, dir).ok);
    select_all(list);
    std::unique_ptr<PackageInfo*[]> items(display_order(list));
    ASSERT_EQ("B", name_of(*items[1]));
    toggle_selection(list, items.get(), 1);
    Names selected;
    for (int i = 0; i < list.count; ++i) {
        if (list.entries[i].selected) selected.push_back(name_of(list.entries[i]));
    }
    EXPECT_EQ((Names{"C"}), selected);
    // C still needs A and A needs B: all three are installed, B first.
    EXPECT_EQ((Names{"B", "A", "C"}), install(list));
}

TEST(CatalogueScan, InstallationOrders) {
    PackageDirectory dir;
    dir.add("ppp.vpk", "ppp", {"system"});
    dir.add("system.vpk", "system");
    dir.add("dhcp.vpk", "dhcp", {"system"});
    ScannedList list;
    ASSERT_TRUE(scan(list, dir, true).ok);
    // system first, then ppp and dhcp as the directory listed them.
    Names expected{"system"};
    for (int i = 0; i < list.count; ++i) {
        if (name_of(list.entries[i]) != "system") expected.push_back(name_of(list.entries[i]));
    }
    EXPECT_EQ(expected, install(list));

    select_minimum(list);
    select(list, {"ppp"});
    list.entries[find_package(list, "system")].selected = false;
    InstallOrder order;
    ASSERT_TRUE(build_install_order(order, list));
    char path[PACKAGE_PATH_SIZE];
    Names first, again;
    while (next_package_path(order, path)) first.push_back(path);
    EXPECT_EQ((std::vector<std::string>{dir.path() + "/system.vpk", dir.path() + "/ppp.vpk"}),
              first);
    EXPECT_FALSE(next_package_path(order, path));
    order.position = 0;
    while (next_package_path(order, path)) again.push_back(path);
    EXPECT_EQ(first, again);
    free_install_order(order);
}

TEST(CatalogueScan, ACycleEnds) {
    PackageDirectory dir;
    dir.add("x.vpk", "x", {"y"});
    dir.add("y.vpk", "y", {"z"});
    dir.add("z.vpk", "z", {"x"});
    ScannedList list;
    ASSERT_TRUE(scan(list, dir).ok);
    list.entries[find_package(list, "y")].selected = true;
    EXPECT_EQ((Names{"x", "z", "y"}), install(list));
}

TEST(CatalogueScan, DefaultsFileMarksTheFirstPackageOfEachWord) {
    PackageDirectory dir;
    dir.add("one.vpk", "tools");
    dir.add("two.vpk", "tools");
    dir.add("ppp.vpk", "ppp");
    dir.add("web.vpk", "web");
    dir.add_raw("defpacks", "tools\n  unknown ppp\n\n");
    ScannedList list;
    ASSERT_TRUE(scan(list, dir).ok);
    std::unique_ptr<PackageInfo*[]> items(display_order(list));
    int first = find_package(list, "tools");
    int second = 0;
    while (second == first || name_of(list.entries[second]) != "tools") ++second;
    EXPECT_TRUE(list.entries[first].selected);
    EXPECT_FALSE(list.entries[second].selected);
    EXPECT_TRUE(list.entries[find_package(list, "ppp")].selected);
    EXPECT_FALSE(list.entries[find_package(list, "web")].selected);
}

}  // namespace

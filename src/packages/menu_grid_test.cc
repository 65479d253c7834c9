#include "packages/menu_grid.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packages/packages_test_support.h"

namespace {

// A catalogue of n packages p00, p01, ... shown in entry order.
struct GridFixture {
    explicit GridFixture(int n) : catalogue(make(n)) {
        for (int i = 0; i < n; ++i) items.push_back(&catalogue.list.entries[i]);
        init_grid(grid, items.data(), n, 7);
    }
    static std::vector<TestPackage> make(int n) {
        std::vector<TestPackage> packages;
        for (int i = 0; i < n; ++i) {
            char name[16];
            snprintf(name, sizeof name, "p%02d", i);
            packages.push_back({name, {}, ""});
        }
        return packages;
    }
    TestCatalogue catalogue;
    std::vector<PackageInfo*> items;
    MenuGrid grid;
};

std::string draw(const MenuGrid& grid, int k) {
    StdoutCapture capture;
    draw_item(grid, k);
    return capture.finish();
}

TEST(MenuGrid, SevenItemsRunDownThreeColumns) {
    GridFixture f(7);
    EXPECT_EQ(3, f.grid.rows);
    EXPECT_EQ(3, f.grid.columns);
    EXPECT_EQ(0, f.grid.current);
    // The highlight covers the bracket, the name and a space on each side.
    EXPECT_EQ("\033[7;0H \033[m\033[7m [ ] p00 \033[m", draw(f.grid, 0));
    EXPECT_EQ("\033[9;0H  [ ] p02 ", draw(f.grid, 2));
    EXPECT_EQ("\033[7;26H  [ ] p03 ", draw(f.grid, 3));
    EXPECT_EQ("\033[9;26H  [ ] p05 ", draw(f.grid, 5));
    f.catalogue.list.entries[6].selected = true;
    EXPECT_EQ("\033[7;52H  [X] p06 ", draw(f.grid, 6));
}

TEST(MenuGrid, SixteenCharacterNamesEndAtTheirLastByte) {
    GridFixture f(1);
    memcpy(f.catalogue.list.entries[0].header.name, "abcdefghijklmnop", 16);
    memset(f.catalogue.list.entries[0].header.extra, 'Z', 16);
    EXPECT_EQ("\033[7;0H \033[m\033[7m [ ] abcdefghijklmnop \033[m", draw(f.grid, 0));
}

TEST(MenuGrid, MovesStopAtTheEdges) {
    GridFixture f(7);
    StdoutCapture capture;
    EXPECT_FALSE(move_previous(f.grid));
    EXPECT_FALSE(move_left(f.grid));
    EXPECT_EQ("", capture.finish());

    StdoutCapture drawn;
    f.grid.current = 6;
    EXPECT_FALSE(move_next(f.grid));
    EXPECT_FALSE(move_right(f.grid));
    EXPECT_TRUE(move_left(f.grid));
    EXPECT_EQ(3, f.grid.current);

    f.grid.current = 4;
    EXPECT_FALSE(move_right(f.grid));  // 4 + 3 is not less than 7
    EXPECT_EQ(4, f.grid.current);
    f.grid.current = 3;
    EXPECT_TRUE(move_right(f.grid));
    EXPECT_EQ(6, f.grid.current);
}

TEST(MenuGrid, AMoveRedrawsTheOldItemThenTheNewOne) {
    GridFixture f(7);
    StdoutCapture capture;
    EXPECT_TRUE(move_next(f.grid));
    EXPECT_EQ("\033[7;0H  [ ] p00 \033[8;0H \033[m\033[7m [ ] p01 \033[m", capture.finish());
}

TEST(MenuGrid, FortyTwoItemsFillFourteenRows) {
    GridFixture f(42);
    EXPECT_EQ(14, f.grid.rows);
    EXPECT_EQ("\033[20;52H  [ ] p41 ", draw(f.grid, 41));
    StdoutCapture capture;
    draw_all_items(f.grid);
    std::string all = capture.finish();
    EXPECT_EQ(std::string::npos, all.find("\033[6;"));  // no scroll markers
    EXPECT_EQ(std::string::npos, all.find("\033[21;"));
}

TEST(MenuGrid, MoreThanFortyTwoItemsScrollByColumns) {
    GridFixture f(50);  // columns of 14: 0-13, 14-27, 28-41, 42-49
    EXPECT_EQ(14, f.grid.rows);
    {
        StdoutCapture capture;
        draw_all_items(f.grid);
        std::string all = capture.finish();
        EXPECT_EQ(std::string::npos, all.find("p42"));
        EXPECT_EQ(std::string::npos, all.find("\033[21;"));
        EXPECT_NE(std::string::npos, all.find("\033[6;72H>>"));
    }
    f.grid.current = 30;
    StdoutCapture capture;
    EXPECT_TRUE(move_right(f.grid));
    std::string moved = capture.finish();
    EXPECT_EQ(44, f.grid.current);
    EXPECT_EQ(1, f.grid.first_column);
    // The whole grid is drawn again, one column further on.
    EXPECT_NE(std::string::npos, moved.find("\033[7;0H  [ ] p14 "));
    EXPECT_NE(std::string::npos, moved.find("\033[9;52H \033[m\033[7m [ ] p44 \033[m"));
    EXPECT_EQ(std::string::npos, moved.find("p13"));
    EXPECT_EQ(std::string::npos, moved.find("\033[21;"));
    EXPECT_NE(std::string::npos, moved.find("  <<"));

    // Every item is reachable one step at a time, and back.
    f.grid.current = 0;
    f.grid.first_column = 0;
    StdoutCapture walk;
    int steps = 0;
    while (move_next(f.grid)) ++steps;
    EXPECT_EQ(49, steps);
    EXPECT_EQ(1, f.grid.first_column);
    while (move_previous(f.grid)) --steps;
    EXPECT_EQ(0, steps);
    EXPECT_EQ(0, f.grid.first_column);
    EXPECT_EQ(std::string::npos, walk.finish().find("\033[21;"));
}

}  // namespace

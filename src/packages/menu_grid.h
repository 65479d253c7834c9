// The package grid of the selection menu: items run down the first column,
// then the second, then the third, with one item highlighted.
#pragma once

#include "packages/package_catalogue.h"

// Screen columns of the grid and the width of one column.
constexpr int GRID_COLUMNS = 3;
constexpr int GRID_COLUMN_WIDTH = 26;

// Rows 7 to 20 hold the grid; row 21 onward is the details block.
constexpr int GRID_MAX_ROWS = 14;

// The three-column list of packages. Up to 42 items (14 rows of three
// columns) are shown at once. With more items every column holds 14 and the
// grid shows three neighbouring columns of them, moving that window
// sideways so that the highlighted item is always on screen.
struct MenuGrid {
    PackageInfo** items = nullptr;  // display order; owned by the grid's user
    int count = 0;                  // number of items
    int current = 0;                // the highlighted item
    int top_row = 0;                // screen row of every column's first item
    int columns = 0;                // columns on screen: 3
    int rows = 0;                   // items per column
    int first_column = 0;           // first column shown (0 unless more than 42 items)
};

void init_grid(MenuGrid& grid, PackageInfo** items, int count, int top_row);

// Draws item k where it stands; an item outside the shown columns is not
// drawn.
void draw_item(const MenuGrid& grid, int k);

// Draws every item of the shown columns.
void draw_all_items(const MenuGrid& grid);

// Each move returns true when the highlight moved and redraws what changed.
bool move_previous(MenuGrid& grid);
bool move_next(MenuGrid& grid);
bool move_left(MenuGrid& grid);
bool move_right(MenuGrid& grid);

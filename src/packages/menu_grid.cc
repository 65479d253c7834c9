#include "packages/menu_grid.h"

#include <cstdio>
#include <cstring>

#include "packages/screen_control.h"

namespace {

int column_count(const MenuGrid& grid) {
    return (grid.count + grid.rows - 1) / grid.rows;
}

// The markers on the row above the grid that tell that more columns lie to
// the left or to the right. Only catalogues of more than 42 packages have
// them.
void draw_scroll_markers(const MenuGrid& grid) {
    if (column_count(grid) <= grid.columns) return;
    move_cursor(0, static_cast<uint8_t>(grid.top_row - 1));
    clear_line();
    if (grid.first_column > 0) {
        move_cursor(0, static_cast<uint8_t>(grid.top_row - 1));
        fputs("  <<", stdout);
    }
    if (grid.first_column + grid.columns < column_count(grid)) {
        move_cursor(GRID_COLUMN_WIDTH * grid.columns - 6, static_cast<uint8_t>(grid.top_row - 1));
        fputs(">>", stdout);
    }
}

// Shifts the shown columns so that the highlighted item is among them.
// Returns true when they moved (the caller redraws the whole grid).
bool bring_current_into_view(MenuGrid& grid) {
    int column = grid.current / grid.rows;
    int first = grid.first_column;
    if (column < first) first = column;
    if (column >= first + grid.columns) first = column - grid.columns + 1;
    if (first == grid.first_column) return false;
    grid.first_column = first;
    return true;
}

void redraw_grid(const MenuGrid& grid) {
    for (int row = 0; row < grid.rows; ++row) {
        move_cursor(0, static_cast<uint8_t>(grid.top_row + row));
        clear_line();
    }
    draw_all_items(grid);
}

bool move_to(MenuGrid& grid, int k) {
    int previous = grid.current;
    grid.current = k;
    if (bring_current_into_view(grid)) {
        redraw_grid(grid);
    } else {
        draw_item(grid, previous);
        draw_item(grid, k);
    }
    return true;
}

}  // namespace

void init_grid(MenuGrid& grid, PackageInfo** items, int count, int top_row) {
    grid.items = items;
    grid.count = count;
    grid.current = 0;
    grid.top_row = top_row;
    grid.columns = GRID_COLUMNS;
    grid.rows = (count + GRID_COLUMNS - 1) / GRID_COLUMNS;
    if (grid.rows > GRID_MAX_ROWS) grid.rows = GRID_MAX_ROWS;
    if (grid.rows < 1) grid.rows = 1;
    grid.first_column = 0;
}

void draw_item(const MenuGrid& grid, int k) {
    int column = k / grid.rows - grid.first_column;
    if (column < 0 || column >= grid.columns) return;
    move_cursor(static_cast<uint8_t>(GRID_COLUMN_WIDTH * column),
                static_cast<uint8_t>(grid.top_row + k % grid.rows));
    putchar(' ');
    if (k == grid.current) set_attributes(ATTR_REVERSE);
    const PackageInfo& package = *grid.items[k];
    char name[PACKAGE_NAME_BUFFER];
    memset(name, 0, sizeof name);
    memcpy(name, package.header.name, PACKAGE_NAME_LENGTH);
    printf(" [%c] %s ", package.selected ? 'X' : ' ', name);
    if (k == grid.current) set_attributes(0);
}

void draw_all_items(const MenuGrid& grid) {
    draw_scroll_markers(grid);
    for (int k = 0; k < grid.count; ++k) draw_item(grid, k);
}

bool move_previous(MenuGrid& grid) {
    if (grid.current <= 0) return false;
    return move_to(grid, grid.current - 1);
}

bool move_next(MenuGrid& grid) {
    if (grid.current >= grid.count - 1) return false;
    return move_to(grid, grid.current + 1);
}

bool move_left(MenuGrid& grid) {
    if (grid.current - grid.rows < 0) return false;
    return move_to(grid, grid.current - grid.rows);
}

bool move_right(MenuGrid& grid) {
    if (grid.current + grid.rows >= grid.count) return false;
    return move_to(grid, grid.current + grid.rows);
}

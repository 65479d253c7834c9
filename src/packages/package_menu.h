// The full-screen package selection menu: the operator chooses packages
// and installs this machine ('i'), a remote router ('r') or cancels ('q').
#pragma once

#include "packages/menu_grid.h"
#include "packages/package_catalogue.h"

// Screen rows of the menu.
constexpr int MENU_GRID_TOP_ROW = 7;
constexpr int MENU_DETAILS_ROW = 21;
constexpr int MENU_EXIT_ROW = 25;

// The catalogue together with the state of its menu.
struct PackageMenu : PackageList {
    MenuGrid grid;               // the grid of the last run (no items before the first)
    bool remote_chosen = false;  // the last run ended with 'r'
};

// Switches standard input to key-by-key reading without echo (canonical
// input and echo off, everything else as it was). Nothing sets them back.
void set_key_input();

// init_package_list on the menu, then set_key_input.
void open_package_menu(PackageMenu& menu, const char* directory);

// Shows the menu and handles keys until 'i', 'r' or 'q' (or the end of
// input, taken as 'q'). True for 'i' and 'r', false for 'q'. Every run
// starts from the minimum selection ("system" alone), except the first,
// which also keeps the packages marked by the medium's defaults file, and
// what the catalogue held selected before the menu opened, together with
// their direct dependencies.
bool run_package_menu(PackageMenu& menu);

// True when the last run of the menu ended with 'r'.
bool remote_chosen(const PackageMenu& menu);

// Does nothing: the catalogue stays in memory and the console keeps the
// key-input mode.
void close_package_menu(PackageMenu& menu);

// Rows 21 onward: the highlighted package's name and dependencies, then
// its description.
void show_package_details(const PackageMenu& menu);

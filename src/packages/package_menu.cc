#include "packages/package_menu.h"

#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "packages/screen_control.h"

namespace {

constexpr int KEY_ESCAPE = 27;

// Size of the area the details line is built in.
constexpr int DETAILS_LINE_SIZE = 160;

const char* const WELCOME_TEXT = "Welcome to Brindlex Router Software installation\n";

const char* const HELP_TEXT =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all with "
    "'a', minimum with 'm'. Press 'i' to install locally or 'r' to install remote router or 'q' "
    "to cancel and reboot.";

// Reads one key. Whatever has been drawn reaches the terminal first. A read
// cut short by a signal is retried; the end of input gives EOF.
int read_key() {
    fflush(stdout);
    for (;;) {
        errno = 0;
        int key = getchar();
        if (key != EOF) return key;
        if (ferror(stdin) && errno == EINTR) {
            clearerr(stdin);
            continue;
        }
        return EOF;
    }
}

// Appends text to the details line, which is cut at its last byte.
void append_text(char* line, const char* text) {
    size_t used = strlen(line);
    snprintf(line + used, DETAILS_LINE_SIZE - used, "%s", text);
}

void append_name(char* line, const char* name) {
    char buffer[PACKAGE_NAME_BUFFER];
    memset(buffer, 0, sizeof buffer);
    memcpy(buffer, name, PACKAGE_NAME_LENGTH);
    append_text(line, buffer);
}

// The opening selection of the first run: everything that was selected
// when the menu first took the display order (the defaults file's marks),
// with the direct dependencies of each, as selecting it by hand would give.
void apply_opening_selection(PackageMenu& menu, const std::vector<char>& opening) {
    for (int i = 0; i < menu.count; ++i) {
        if (!opening[i]) continue;
        const PackageInfo& package = menu.entries[i];
        menu.entries[i].selected = true;
        for (int d = 0; d < package.dependency_count; ++d) {
            int index = find_package(menu, package.dependencies[d].name);
            if (index >= 0) menu.entries[index].selected = true;
        }
    }
}

// Moves the highlight for the keys p, n and the arrows.
void apply_move(PackageMenu& menu, bool (*move)(MenuGrid&)) {
    if (move(menu.grid)) show_package_details(menu);
}

// Acts on a key that is not an escape sequence. Returns 1 for 'i' and 'r',
// 0 for 'q' and -1 when the menu goes on.
int handle_key(PackageMenu& menu, int key) {
    switch (tolower(key)) {
        case 'p':
            apply_move(menu, move_previous);
            break;
        case 'n':
            apply_move(menu, move_next);
            break;
        case ' ':
            if (toggle_selection(menu, menu.grid.items, menu.grid.current)) {
                draw_all_items(menu.grid);
            }
            break;
        case 'a':
            select_all(menu);
            draw_all_items(menu.grid);
            break;
        case 'm':
            select_minimum(menu);
            draw_all_items(menu.grid);
            break;
        case 'i':
            move_cursor(0, MENU_EXIT_ROW);
            return 1;
        case 'r':
            menu.remote_chosen = true;
            move_cursor(0, MENU_EXIT_ROW);
            return 1;
        case 'q':
            move_cursor(0, MENU_EXIT_ROW);
            return 0;
        default:
            break;
    }
    return -1;
}

// The arrow keys: the third character of an escape sequence.
void handle_arrow(PackageMenu& menu, int key) {
    switch (key) {
        case 'A':
            apply_move(menu, move_previous);
            break;
        case 'B':
            apply_move(menu, move_next);
            break;
        case 'C':
            apply_move(menu, move_right);
            break;
        case 'D':
            apply_move(menu, move_left);
            break;
        default:
            break;
    }
}

}  // namespace

void set_key_input() {
    termios attributes;
    if (tcgetattr(STDIN_FILENO, &attributes) != 0) return;
    attributes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &attributes);
}

void open_package_menu(PackageMenu& menu, const char* directory) {
    init_package_list(menu, directory);
    set_key_input();
}

bool run_package_menu(PackageMenu& menu) {
    bool first_run = menu.grid.items == nullptr;
    delete[] menu.grid.items;
    menu.grid.items = nullptr;
    PackageInfo** items = display_order(menu);
    init_grid(menu.grid, items, menu.count, MENU_GRID_TOP_ROW);
    std::vector<char> opening;
    if (first_run) {
        for (int i = 0; i < menu.count; ++i) opening.push_back(menu.entries[i].selected);
    }

    clear_screen();
    hide_cursor(true);
    set_attributes(ATTR_BOLD);
    print_lines(WELCOME_TEXT, true);
    set_attributes(0);
    print_wrapped(HELP_TEXT, false);

    draw_all_items(menu.grid);
    select_minimum(menu);
    if (first_run) apply_opening_selection(menu, opening);
    draw_all_items(menu.grid);
    show_package_details(menu);

    menu.remote_chosen = false;

    for (;;) {
        int key = read_key();
        if (key == KEY_ESCAPE) {
            // The key after an escape is taken as typed unless it is '['
            // (a second escape is therefore an ordinary, ignored key).
            key = read_key();
            if (key == '[') {
                key = read_key();
                if (key == EOF) break;
                handle_arrow(menu, key);
                continue;
            }
        }
        if (key == EOF) break;
        int result = handle_key(menu, key);
        if (result >= 0) {
            fflush(stdout);
            return result == 1;
        }
    }
    // The end of input: nobody is left to choose, so the menu is cancelled.
    move_cursor(0, MENU_EXIT_ROW);
    fflush(stdout);
    return false;
}

bool remote_chosen(const PackageMenu& menu) {
    return menu.remote_chosen;
}

void close_package_menu(PackageMenu&) {}

void show_package_details(const PackageMenu& menu) {
    // Every row of the block is cleared, so that no line of the previous
    // package's description stays behind under this one's.
    for (int row = MENU_DETAILS_ROW; row <= MENU_EXIT_ROW; ++row) {
        move_cursor(0, static_cast<uint8_t>(row));
        clear_line();
    }
    move_cursor(0, MENU_DETAILS_ROW);
    const PackageInfo& package = *menu.grid.items[menu.grid.current];
    char line[DETAILS_LINE_SIZE];
    line[0] = '\0';
    append_name(line, package.header.name);
    append_text(line, " (depends on ");
    if (package.dependency_count == 0) append_text(line, "nothing");
    for (int d = 0; d < package.dependency_count; ++d) {
        if (d > 0) append_text(line, ", ");
        append_name(line, package.dependencies[d].name);
    }
    append_text(line, "):");
    print_line(line, static_cast<int>(strlen(line)), false);
    print_wrapped(package.description, false);
}

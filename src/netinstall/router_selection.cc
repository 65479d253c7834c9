#include "netinstall/router_selection.h"

#include <cstdio>
#include <cstring>

#include "netinstall/screen_text.h"
#include "packages/screen_control.h"

namespace {

constexpr int ESCAPE = 27;
// The first row of the list: "Found ..." and the routers below it.
constexpr uint8_t LIST_ROW = 5;
constexpr uint8_t LAST_ROW = 25;

// The end of input counts as 'q', so that a closed console cannot spin.
int read_key() {
    int c = getchar();
    return c == EOF ? 'q' : c;
}

}  // namespace

void draw_router_list(const RouterInstaller& installer) {
    move_cursor(0, LIST_ROW);
    if (installer.router_count > 0)
        printf("Found %d %s: \n\n", installer.router_count,
               installer.router_count == 1 ? "router" : "routers");
    for (RouterEntry* entry = installer.routers; entry != nullptr; entry = entry->next) {
        set_attributes(0);
        clear_line();
        if (entry == installer.selected) set_attributes(ATTR_REVERSE);
        char label[LABEL_SIZE];
        screen_text(entry->label, label, sizeof label);
        printf(" %s (%s) \n", format_mac(entry->mac), label);
    }
    set_attributes(0);
    clear_line();
    if (router_list_full(installer)) {
        printf("%s\n", ROUTER_LIST_FULL);
        clear_line();
    }
    fflush(stdout);
}

bool handle_router_key(RouterInstaller& installer) {
    int key = read_key();
    if (key == ESCAPE) {
        key = read_key();
        if (key == '[') {
            key = read_key();
            if (key == 'A') {
                select_previous(installer);
                return false;
            }
            if (key == 'B') {
                select_next(installer);
                return false;
            }
        }
    }
    switch (key) {
        case 'p':
        case 'P':
            select_previous(installer);
            return false;
        case 'n':
        case 'N':
            select_next(installer);
            return false;
        case '\n':
            return installer.selected != nullptr;
        case 'q':
        case 'Q':
            move_cursor(0, LAST_ROW);
            fflush(stdout);
            installer.selected = nullptr;
            return true;
        default:
            return false;
    }
}

bool select_router(RouterInstaller& installer) {
    memset(installer.link.peer_mac, 0, MAC_LENGTH);
    clear_screen();
    print_wrapped(ROUTER_HELP, false);
    printf("\nLooking for routers on %u %s...\n", installer.interfaces.count,
           installer.interfaces.count == 1 ? "interface" : "interfaces");
    draw_router_list(installer);
    for (;;) {
        fd_set ready;
        if (wait_for_routers(installer, true, -1, ready) != RouterWait::ready) return false;
        if (FD_ISSET(0, &ready) && handle_router_key(installer))
            return installer.selected != nullptr;
        take_announcements(installer, ready, true);
    }
}

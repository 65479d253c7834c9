#include "console/dialogs.h"

#include <cstdio>

#include "console/console_state.h"

void show_welcome(const char* mode_name) {
    enter_raw_mode(*console_state());
    printf("\e[?25l");
    printf("\e[H\e[2J");
    printf("Welcome to Brindlex Router Software %s\n", mode_name);
    printf("Press Ctrl-Alt-Delete to abort\n");
    fflush(stdout);
}

bool confirm_erase() {
    printf("Warning: all data on the disk will be erased!\n\n");
    if (!ask_yes_no(*console_state(), "Continue?")) return false;
    printf("\n");
    fflush(stdout);
    return true;
}

bool ask_keep_config() {
    bool keep = ask_yes_no(*console_state(), "Do you want to keep old configuration? ");
    printf("\n");
    fflush(stdout);
    return keep;
}

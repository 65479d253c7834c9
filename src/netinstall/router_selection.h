// The server's router list on the screen: the help text, the interface
// count, the routers found (newest first) with the highlighted one in
// reverse video, and the keys that move the highlight, pick a router or
// return to the package menu.
#pragma once

#include "netinstall/router_installer.h"

// Listens on every interface and the keyboard until the operator picks a
// router with Enter (true; selected is that router) or returns with 'q'
// (false); false too when the wait fails (a signal, for example).
bool select_router(RouterInstaller& installer);

// Redraws the list from row 5.
void draw_router_list(const RouterInstaller& installer);

// Reads and handles one key (an arrow sequence counts as one); whether the
// selection is finished.
bool handle_router_key(RouterInstaller& installer);

// The help text at the top of the list.
constexpr char ROUTER_HELP[] =
    "Select router using 'p' and 'n' or arrow keys. Press 'enter' to proceed or 'q' to return";

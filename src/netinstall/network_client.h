// The network installation client: a router booted with /TYPE "net"
// announces itself on every network card until an installation server
// offers to install it, prepares its disk, installs what the server sends
// and ends the conversation. The mode itself is install_from_network
// (startup/modes.h); the steps below are shared with the network lab's
// disk-less router.
#pragma once

#include "netinstall/client_conversation.h"

// Prints a line feed, "mac-address: MAC" for every interface in list
// order, and "disk label: LABEL".
void show_router_identity(InstallClient& client, const char* label);

// Announces the router until a server's offer has been accepted and the
// file receiver made: "Waiting for installation server..." before each
// try, "Couldn't find any installation server on network" after an
// announcement that could not be sent (then, after the pause of an
// announcement cycle, the interfaces are opened again), and finally
// "Found server at MAC". keep tells whether the offer said "keep".
void wait_for_server(InstallClient& client, const char* label, bool& keep);

// "Software installed." and "Press ENTER to reboot", then the closing
// exchange: a key on the router, or the server's "TERM", ends it.
void end_conversation(InstallClient& client);

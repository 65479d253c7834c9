// The client's side of a conversation: a router that announces itself on
// every interface until a server offers to install it, accepts the offer,
// asks the server to start once its disk is ready, and receives the files.
#pragma once

#include "netinstall/file_receiver.h"
#include "netinstall/interface_list.h"
#include "netinstall/link_state.h"

// The network client's state.
struct InstallClient {
    InterfaceList interfaces;                // rebuilt every 60 announcement cycles
    NetEndpoint* server_endpoint = nullptr;  // where the accepted offer arrived
    LinkState link;                          // the client's side of the conversation
    FileReceiver* receiver = nullptr;        // owned; made once the offer is accepted
};

// A fresh link, no receiver, the interfaces listed and opened.
void open_install_client(InstallClient& client);

// Lists the interfaces into the client (after freeing what it had), each
// endpoint keeping only the datagrams meant for it (keep_own_datagrams).
void list_client_interfaces(InstallClient& client);

// Releases the receiver and the interfaces.
void close_install_client(InstallClient& client);

// The receiver for the accepted conversation, on server_endpoint; false
// when there is no server endpoint or no memory.
bool create_file_receiver(InstallClient& client);

// Announces the router (label: its disk label) on every interface once a
// second and looks for an offer after each round; rebuilds the interface
// list every 60 rounds. The endpoint the offer came on (also put into
// server_endpoint, the server becomes the peer and keep tells whether the
// offer said "keep"), or null as soon as an announcement cannot be sent.
NetEndpoint* find_server(InstallClient& client, const char* label, bool& keep);

// Finds a server and sends the acceptance until the server acknowledges it
// (1 s, 5 tries; after a failure announcing starts again). False when the
// client has no interfaces or find_server gives up.
bool accept_offer(InstallClient& client, const char* label, bool& keep);

// Sends the start message (1 s, 5 tries) once the disk is ready; true when
// the server acknowledged it, or answered it with a message: the first file
// header, kept in the receiver for next_file, which acknowledges it.
bool request_start(InstallClient& client);

// The client's buffer for the name of the file it receives.
constexpr int NEXT_FILE_NAME_SIZE = 32;

// Receives the next file header: its name into name (NEXT_FILE_NAME_SIZE
// bytes; a longer name is cut to 31 characters) and its size; a header of
// size 0 is acknowledged a second time. When no header comes within 30 s,
// or another message comes, sends "TERM" and returns false.
bool next_file(InstallClient& client, char* name, int& size);

// The two roles of the installation protocol played without a disk: the
// network lab's peers. The client is a router that stores what it receives
// in a folder instead of installing it; the server installs a router from a
// list of files and a configuration text, without asking anything. Both
// print their progress in the installer's words.
#pragma once

#include <string>
#include <vector>

// How a peer plays its role.
struct PeerOptions {
    // Client.
    std::string label = "brindlex";  // the disk label it announces
    int prepare_ms = 0;              // the disk preparation between offer and start
    std::string folder = ".";        // where the received files go
    // Server.
    std::vector<std::string> files;  // the packages, in order
    std::string script;              // the configuration text ("" with keep)
    bool keep = false;               // offer with "keep"
    std::string router;              // the router's MAC text; empty: the first heard
    int listen_seconds = 120;        // how long to wait for the router
};

// The client's conversation from the announcements to the closing
// exchange; 0 when every file arrived and the exchange ended.
int run_client_peer(const PeerOptions& options);

// The server's conversation with the chosen router; 0 when the
// installation was sent and the exchange ended.
int run_server_peer(const PeerOptions& options);

// Reads "--client [--label L] [--prepare-ms N] [--folder DIR]" or
// "--server [--keep] [--router MAC] [--script TEXT] [--listen-seconds N]
// FILE..." from argv[first] on.
bool parse_peer_options(int argc, char** argv, int first, PeerOptions& options, bool& server);

// The options' usage text.
constexpr char PEER_USAGE[] =
    "--client [--label LABEL] [--prepare-ms N] [--folder DIR]\n"
    "  | --server [--keep] [--router MAC] [--script TEXT] [--listen-seconds N] FILE...\n";

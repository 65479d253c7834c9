// A fleet run of the installation server: every router of the fleet table
// that announces itself gets its own conversation, all at the same time.
//
// Each conversation is the installer's own server code (send_installation),
// unchanged, in a child process of its own: the code keeps process-wide
// state (the MAC text buffer, the script buffer, its progress lines on
// standard output) and blocks in its waits, so a process per router runs it
// as it is, and one router that goes silent holds up nobody else. The
// parent alone reads the interfaces' sockets: it hands each router's
// datagrams to that router's conversation through an inbox (a datagram
// socket pair, see NetEndpoint::inbox_fd), starts the conversations as the
// routers announce themselves, and follows their progress from the lines
// they print and from their own data blocks, which come back to the
// sending interface.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fleet_table.h"
#include "netinstall/interface_list.h"

// Where one router of the run stands.
enum class FleetState {
    missing,      // listed, not heard (yet)
    offered,      // its conversation began with the offer
    preparing,    // it accepted and prepares its disk
    sending,      // a package is on its way
    configuring,  // its configuration is on its way
    done,         // installed
    failed,       // its conversation ended without the installation
    left_alone,   // not in the table, and there is no "*" line
};

// One router: a listed one from the start, any other once it is heard.
struct FleetRouter {
    uint8_t mac[MAC_LENGTH] = {};
    std::string label;                  // its disk label as screens show it
    const FleetEntry* entry = nullptr;  // its line of the table; null: left alone
    bool listed = false;                // on a line of its own
    NetEndpoint* endpoint = nullptr;    // where it was heard first; all traffic uses it
    FleetState state = FleetState::missing;
    int package = 0;              // the package on its way, from 1
    int packages_sent = 0;        // packages it has whole
    std::string package_name;     // the file name of the package on its way
    uint64_t bytes = 0;           // data bytes sent to it, each block once
    uint16_t last_block_seq = 0;  // the sequence number of the last block counted
    int64_t started_us = 0;       // when its conversation began
    int64_t ended_us = 0;         // ... and ended
    std::string failure;          // why it failed
    pid_t pid = -1;               // its conversation, while it runs
    int inbox_fd = -1;            // the run's end of its inbox
    int output_fd = -1;           // the lines its conversation prints
    std::string pending;          // the start of a line not ended yet
};

// What the run installs, and how long it listens.
struct FleetOptions {
    FleetTable table;
    std::vector<std::string> paths;              // the packages, in installation order
    std::map<std::string, std::string> scripts;  // a script path of the table: its text
    int seconds = -1;                            // how long new routers are taken; -1: no limit
    bool serve = false;                          // go on until SIGINT or SIGTERM
};

// Runs the fleet on interfaces until every listed router is done or
// failed (with no "*" line, or once the seconds are over), or, serving,
// until a signal ends it; conversations that run then are let finish,
// except after a signal, which ends them. Progress goes to standard output
// as it happens. The routers, listed ones first, then the others as heard.
struct FleetDisplay;
std::vector<FleetRouter> run_fleet(InterfaceList& interfaces, const FleetOptions& options,
                                   FleetDisplay& display);

// The configuration script router gets, and whether its offer says keep.
std::string fleet_script(const FleetOptions& options, const FleetRouter& router, bool& keep);

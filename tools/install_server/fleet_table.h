// The fleet table: which routers one run of the installation server
// installs, and how each is configured. A plain text file, one router a
// line:
//
//   # site 4, rack 2
//   02:00:00:00:02:01 address 10.4.2.1/24 gateway 10.4.2.254 baud 115200
//   02:00:00:00:02:02 keep
//   02:00:00:00:02:03 script core.scr
//   * address 0.0.0.0/0
//
// A '#' that begins a word begins a comment; blank lines are allowed. The
// "*" line configures every router that is not listed; without it, those
// are left alone. The whole file is checked before anything is sent.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "netinstall/mac_address.h"

// How one router is configured.
struct FleetConfig {
    enum Kind { keep, address, script } kind = keep;
    in_addr router_address = {};    // address: the router's address ...
    unsigned long prefix_bits = 0;  // ... and its netmask bit count
    in_addr gateway = {};           // address: 0.0.0.0 when none was given
    unsigned long baud = 0;         // address: 0 when none was given
    std::string script_path;        // script: the file, as resolved against the table's folder
};

// One line of the table.
struct FleetEntry {
    uint8_t mac[MAC_LENGTH] = {};  // the router; unused for the "*" line
    FleetConfig config;
    int line = 0;  // where it stands in the file
};

// The whole table.
struct FleetTable {
    std::vector<FleetEntry> routers;  // the listed routers, in file order
    bool has_default = false;         // a "*" line was given
    FleetEntry unlisted;              // the "*" line's configuration
};

// Reads text (the table file's content; relative script paths are taken
// against folder, unless it is empty). False with "LINE: what is wrong" in
// error at the first bad line, a MAC listed twice, a second "*" line, or a
// table that names no router at all.
bool parse_fleet_table(FleetTable& table, const std::string& text, const std::string& folder,
                       std::string& error);

// Reads the file at path; false with "PATH: cannot be read" or
// "PATH:LINE: what is wrong" in error.
bool read_fleet_table(FleetTable& table, const std::string& path, std::string& error);

// The line for mac: its own, the "*" line, or null (the router is left
// alone).
const FleetEntry* fleet_entry_for(const FleetTable& table, const uint8_t* mac);

// Whether the table lists mac on a line of its own.
bool fleet_lists(const FleetTable& table, const uint8_t* mac);

// Six two-digit hexadecimal numbers separated by ':' (either case) into
// mac; false for any other text.
bool parse_mac_text(const std::string& text, uint8_t* mac);

// The configuration as the table writes it ("keep", "address
// 10.0.0.2/24 gateway 10.0.0.1 baud 9600", "script PATH").
std::string describe_fleet_config(const FleetConfig& config);

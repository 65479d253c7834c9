// The configuration script a remotely installed router receives and runs
// at its first start ("autorun.scr"): commands of the router's command
// line, one a line, that address the Ethernet interface through which it
// was installed, add a default route and set the serial console's speed.
#pragma once

#include <netinet/in.h>

#include <cstdint>

// The script buffer holds at most this many bytes, terminator included.
constexpr int ROUTER_SCRIPT_SIZE = 1024;

// Builds the script afresh into the process-wide buffer and returns it: the
// address block when address is not 0.0.0.0 and prefix_bits is not 0
// (naming the interface by router_mac), the route when gateway is not
// 0.0.0.0, the port line when baud_rate is not 0; empty when none applies.
const char* build_router_script(const uint8_t* router_mac, in_addr address,
                                unsigned long prefix_bits, in_addr gateway,
                                unsigned long baud_rate);

// Watches the frames on one interface of a private namespace, in both
// directions, with the time each was seen: the tests' view of the wire.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lab_process.h"

// One frame as seen on the interface.
struct WireFrame {
    int64_t at_us = 0;           // the kernel's time stamp, microseconds (wall clock)
    std::vector<uint8_t> bytes;  // the Ethernet frame
};

// A child in a namespace that records the frames of one interface into a
// file (the first snap bytes of each).
struct WireSniffer {
    LabProcess process;
    std::string file;  // a temporary file of records: time, length, bytes
};

// Starts recording every frame of interface in ns; returns once it records.
bool start_sniffer(WireSniffer& sniffer, const NetNamespace& ns, const std::string& interface,
                   int snap = 128);

// Stops it and returns the frames it saw, in order.
std::vector<WireFrame> stop_sniffer(WireSniffer& sniffer);

// The UDP payload of an IPv4 frame from and to port (as far as it was
// recorded), or empty.
std::vector<uint8_t> udp_payload(const WireFrame& frame, uint16_t port);

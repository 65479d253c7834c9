// The network lab's cable: a hub that forwards every Ethernet frame that
// comes in on one port out of all the others, and on the way drops,
// duplicates, delays and reorders frames as a seeded fault plan says, or
// drops chosen frames by their number. It can write everything it forwards
// into a pcap file.
//
// A port is one end of an emulated PC's network card (a datagram socket
// per frame, as the emulator's dgram network back end sends them, over a
// Unix socket path or a loopback UDP port) or a tap device that the relay
// makes inside a private network namespace.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pcap_writer.h"

// A frame chosen by number: the number-th frame (from 1) that came in on
// port (from 0), or on any port when port is -1. With match, only frames
// that hold those bytes at offset (from the start of the Ethernet frame)
// are counted: "the first acknowledgement of sequence number 3 from the
// server", whatever came before it.
struct FrameChoice {
    FrameChoice(int on_port = -1, uint64_t nth = 0) : port(on_port), number(nth) {}
    int port;
    uint64_t number;
    size_t offset = 0;
    std::vector<uint8_t> match;
    uint64_t matched = 0;  // frames that matched so far
};

// What the relay does to frames. Every frame draws the same random numbers
// whatever happens to it, so one seed gives one series of decisions.
struct FaultPlan {
    uint64_t seed = 1;
    double drop_percent = 0;          // frames lost
    double duplicate_percent = 0;     // frames forwarded twice
    double reorder_percent = 0;       // frames held back so that later ones pass
    int64_t delay_us = 0;             // every frame
    int64_t jitter_us = 0;            // up to this much more, at random
    int64_t reorder_delay_us = 5000;  // how long a reordered frame is held
    std::vector<FrameChoice> drop_frames;
};

// One port of the hub.
struct RelayPort {
    int fd = -1;
    bool tap = false;              // a tap device, else a datagram socket
    sockaddr_storage remote = {};  // datagram ports: where frames go out
    socklen_t remote_length = 0;
    std::string name;  // for messages
    uint64_t frames_in = 0;
};

// What happened so far.
struct RelayCounters {
    uint64_t received = 0;
    uint64_t forwarded = 0;  // frames sent on (each copy once, whatever the port count)
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
};

// A frame waiting for its time.
struct PendingFrame {
    int64_t release_us = 0;
    uint64_t order = 0;  // ties keep arrival order
    int from_port = 0;
    std::vector<uint8_t> bytes;
};

// The hub.
struct FrameRelay {
    std::vector<RelayPort> ports;
    FaultPlan faults;
    PcapWriter pcap;
    RelayCounters counters;
    uint64_t random_state = 0;
    uint64_t arrivals = 0;
    std::vector<PendingFrame> pending;  // a heap on release time
};

void init_relay(FrameRelay& relay, const FaultPlan& faults);

// A datagram port on a Unix socket: bound at local_path, frames out to
// remote_path (the emulator binds that).
bool add_unix_port(FrameRelay& relay, const std::string& local_path, const std::string& remote_path,
                   std::string& error);

// A datagram port on loopback UDP: bound at 127.0.0.1:local_port, frames
// out to 127.0.0.1:remote_port.
bool add_udp_port(FrameRelay& relay, int local_port, int remote_port, std::string& error);

// A tap device called name, made inside the network namespace at
// netns_path (e.g. /proc/PID/ns/net). Refused for the namespace the relay
// itself runs in: the lab never adds interfaces there.
bool add_tap_port(FrameRelay& relay, const std::string& name, const std::string& netns_path,
                  std::string& error);

// Forwards frames until stop_fd (when not -1) becomes readable or *stop
// (when given) is set.
void run_relay(FrameRelay& relay, int stop_fd, volatile int* stop = nullptr);

// Closes the ports and the capture file.
void close_relay(FrameRelay& relay);

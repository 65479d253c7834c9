// Writes Ethernet frames into a capture file in the classic pcap format
// (microsecond timestamps, link type Ethernet), readable by tcpdump and
// tshark.
#pragma once

#include <cstdint>
#include <cstdio>

// An open capture file.
struct PcapWriter {
    FILE* file = nullptr;
};

bool open_pcap(PcapWriter& writer, const char* path);
// One frame, stamped with the current time.
void write_pcap_frame(PcapWriter& writer, const uint8_t* frame, int length);
void close_pcap(PcapWriter& writer);

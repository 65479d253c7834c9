// The installation protocol's fixed numbers: the datagram layout, the
// message tags, and the timing and retry table both roles follow.
//
// Every datagram is a 20-byte little-endian header and a payload:
//   0  src_mac (6)   6  dst_mac (6)   12 flags   13 kind
//   14 payload_length (2)   16 seq (2)   18 ack (2)   20 payload
#pragma once

#include <cstdint>

constexpr int HEADER_SIZE = 20;
// The largest payload ever sent: 20 + 1452 bytes of UDP payload fill one
// 1500-byte Ethernet frame with the IPv4 and UDP headers.
constexpr int MAX_BLOCK = 1452;
constexpr int MAX_DATAGRAM = HEADER_SIZE + MAX_BLOCK;

// flags: bit 0 says that the ack field is valid; the others are zero.
constexpr uint8_t ACK_FLAG = 1;
// kind: a text message or bare acknowledgement, or a block of file data.
constexpr uint8_t KIND_TEXT = 0;
constexpr uint8_t KIND_DATA = 1;

// Sequence numbers do not wrap: no message with content is accepted once
// recv_seq has reached this, so one conversation has this many at most.
constexpr uint32_t LAST_SEQUENCE = 65535;

// Message tags: the first four payload bytes, all a receiver looks at.
constexpr char TAG_DISCOVERY[] = "DSCV";
constexpr char TAG_OFFER[] = "OFFR";
constexpr char TAG_ACCEPTANCE[] = "YACK";
constexpr char ACCEPTANCE_TEXT[] = "YACK\n";  // the whole acceptance
constexpr char TAG_START[] = "STRT";
constexpr char TAG_FILE[] = "FILE";
constexpr char TAG_TERMINATION[] = "TERM";
constexpr int TAG_LENGTH = 4;

// Timing and retries (microseconds per try, number of tries).
constexpr int64_t OFFER_WAIT_US = 1000000;  // the offer, for the acceptance
constexpr int OFFER_TRIES = 10;
constexpr int64_t ACCEPTANCE_WAIT_US = 1000000;  // the acceptance, for its ack
constexpr int ACCEPTANCE_TRIES = 5;
constexpr int64_t START_WAIT_US = 1000000;  // the server's ack, until the start
constexpr int START_WAIT_TRIES = 1800;
constexpr int64_t START_ACK_WAIT_US = 1000000;  // the start, for its ack
constexpr int START_TRIES = 5;
constexpr int64_t FILE_HEADER_WAIT_US = 1000000;     // a file header, for its ack
constexpr int64_t FIRST_BLOCK_WAIT_US = 20000;       // a block, after each ack
constexpr int64_t LONGEST_DOUBLED_WAIT_US = 999999;  // doubled while not above
constexpr int FILE_TRIES = 30;                       // header and each block
constexpr int64_t TERMINATION_WAIT_US = 100000;
constexpr int TERMINATION_TRIES = 5;
// The client's termination when no further file header comes.
constexpr int64_t NO_FILE_TERMINATION_WAIT_US = 1000000;
constexpr int NO_FILE_TERMINATION_TRIES = 5;
constexpr int64_t CLIENT_WAIT_US = 1000000;      // each wait of the client
constexpr int64_t CLIENT_GIVE_UP_US = 30000000;  // for a header or a block
constexpr int64_t ANNOUNCE_PAUSE_US = 1000000;   // one per announcement cycle
constexpr int ANNOUNCE_REBUILD_CYCLES = 60;      // interface list rebuilt

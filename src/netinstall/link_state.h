// One side of one conversation of the installation protocol: its sequence
// numbers and the two MAC addresses, and the rules by which a datagram is
// built, found valid and accepted.
#pragma once

#include <cstdint>

#include "netinstall/install_protocol.h"
#include "netinstall/mac_address.h"

// The header at the start of every datagram, decoded.
struct DatagramHeader {
    uint8_t src_mac[MAC_LENGTH];  // the sending interface
    uint8_t dst_mac[MAC_LENGTH];  // the receiver; all zero before there is a peer
    uint8_t flags;                // ACK_FLAG: ack is valid
    uint8_t kind;                 // KIND_TEXT or KIND_DATA
    uint16_t payload_length;      // the datagram is HEADER_SIZE + this long
    uint16_t seq;                 // the sender's send_seq
    uint16_t ack;                 // with ACK_FLAG the sender's recv_seq, else 0
};

// The state of one side of a conversation.
struct LinkState {
    uint16_t send_seq = 1;                // put into the next datagram built
    uint16_t recv_seq = 0;                // the last message with content accepted
    uint8_t own_mac[MAC_LENGTH] = {};     // the interface in use: src_mac
    uint8_t peer_mac[MAC_LENGTH] = {};    // all zero: no peer yet; dst_mac
    uint8_t no_address[MAC_LENGTH] = {};  // always zero
};

// Decodes / encodes the 20 header bytes (little-endian fields).
DatagramHeader read_header(const uint8_t* datagram);
void write_header(uint8_t* datagram, const DatagramHeader& header);

// Addresses zero, send_seq 1, recv_seq 0.
void init_link(LinkState& link);
// send_seq 1, recv_seq 0; the addresses stay.
void reset_link(LinkState& link);

// Fills the header from the link; the link does not change.
void build_header(const LinkState& link, uint8_t* datagram, int payload_length, bool ack_flag,
                  uint8_t kind);

// Whether length bytes hold a whole datagram meant for this side: not from
// its own interface nor from the all-zero address, addressed to it (or to nobody while it has no
// peer), and from its peer once it has one.
bool header_valid(const LinkState& link, const uint8_t* datagram, int length);

// Whether the link takes the datagram: valid, an ack not above send_seq,
// and content only with seq exactly recv_seq + 1 (no wrap), which then
// becomes recv_seq. Bare acknowledgements leave recv_seq alone.
bool accept_datagram(LinkState& link, const uint8_t* datagram, int length);

// Whether a valid datagram repeats the last message with content that the
// link accepted (seq equal to recv_seq): the peer did not get our
// acknowledgement, which is sent again. The link does not change.
bool repeats_accepted_message(const LinkState& link, const uint8_t* datagram, int length);

// Whether the datagram's payload holds at least the four bytes of tag and
// begins with them.
bool payload_begins_with(const uint8_t* datagram, int length, const char* tag);

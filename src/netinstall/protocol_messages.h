// The payloads of the installation protocol's messages: built into a
// datagram buffer behind the header, and read back by the rules that
// decide what a received datagram is.
#pragma once

#include <cstdint>

#include "netinstall/link_state.h"

// A disk label: at most 31 characters and the terminator.
constexpr int LABEL_SIZE = 32;
// The longest reserved line an offer may carry.
constexpr int OFFER_RESERVED_LIMIT = 512;

// A message whose payload is text (with its terminating NUL when
// with_terminator), header from the link; the datagram's length.
int build_message(const LinkState& link, uint8_t* datagram, const char* text, bool with_terminator,
                  bool ack_flag);

// A bare acknowledgement of the link's recv_seq: HEADER_SIZE bytes.
int build_acknowledgement(const LinkState& link, uint8_t* datagram);

// The client's announcement: "DSCV", two empty reserved lines and the
// label (cut to 31 characters), terminator included; no acknowledgement.
int build_discovery(const LinkState& link, uint8_t* datagram, const char* label);

// Whether an accepted datagram (of exactly length bytes, as its header
// says) is an announcement: addressed to nobody, no
// ack, kind text, "DSCV" and three more lines, each ended by a line feed
// and shorter than 32 characters, within the payload. The third of them,
// the disk label, goes into label (LABEL_SIZE bytes, terminated).
bool read_discovery(const uint8_t* datagram, int length, char* label);

// The server's offer: "OFFR", an empty reserved line and "keep" when the
// router is to keep its configuration, terminator included, with the
// acknowledgement flag.
int build_offer(const LinkState& link, uint8_t* datagram, bool keep);

// Whether a datagram the client's link has just accepted is an offer for
// it: addressed to it, ack equal to recv_seq, kind text, "OFFR" and two
// line ends with at most 512 characters between them. keep is set when a
// third line ends and is exactly "keep", else cleared.
bool read_offer(const LinkState& link, const uint8_t* datagram, int length, bool& keep);

// Stop-and-wait delivery over one endpoint: a datagram is repeated until
// the peer answers it or the tries run out.
#pragma once

#include <cstdint>

#include "netinstall/link_state.h"
#include "netinstall/net_endpoint.h"

// Waits up to timeout_us for the reply to the last datagram sent: an
// accepted message with content (consumed: recv_seq advances), or an
// acknowledgement of send_seq. Other datagrams are taken or dropped by the
// link's rules and the wait goes on. The reply's length, or -1.
int wait_reply(NetEndpoint& endpoint, LinkState& link, uint8_t* reply, int64_t timeout_us);

// Sends length bytes of datagram and waits for the reply, up to tries
// times with timeout_us each. The reply's length, or -1 (at once when a
// send does not hand over exactly length bytes).
int send_reliably(NetEndpoint& endpoint, LinkState& link, const uint8_t* datagram, int length,
                  uint8_t* reply, int64_t timeout_us, int tries);

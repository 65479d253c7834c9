// The end of a conversation: after "Press ENTER to reboot" each side waits
// for a key or the peer's termination message; a key (or a failed wait)
// sends the termination itself.
#pragma once

#include <cstdint>

#include "netinstall/link_state.h"
#include "netinstall/net_endpoint.h"

// Which end of the conversation runs the closing exchange.
enum class ConversationSide { server, client };

// Waits until a key is pressed (the server reads it, the client leaves it)
// or the peer's "TERM" arrives (acknowledged; on the client twice). The
// client acknowledges every message it accepts meanwhile and prints
// "resend ack: N", and acknowledges again (without a line) a repeat of the
// last message it accepted.
void wait_for_end(NetEndpoint& endpoint, LinkState& link, ConversationSide side);

// Sends "TERM" with the link's send_seq, 100 ms per try, 5 tries; the
// result does not matter to the callers.
void send_termination(NetEndpoint& endpoint, LinkState& link, int64_t wait_us, int tries);

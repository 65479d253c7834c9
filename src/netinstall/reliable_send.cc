#include "netinstall/reliable_send.h"

int wait_reply(NetEndpoint& endpoint, LinkState& link, uint8_t* reply, int64_t timeout_us) {
    int64_t deadline = now_us() + timeout_us;
    for (;;) {
        int length = wait_datagram(endpoint, reply, deadline - now_us());
        if (length >= 0 && accept_datagram(link, reply, length)) {
            DatagramHeader header = read_header(reply);
            // A message with content answers by itself; an empty datagram
            // only as the acknowledgement of what was sent last.
            bool content = header.payload_length > 0 && !(header.flags & ACK_FLAG);
            bool acknowledged = (header.flags & ACK_FLAG) && header.ack == link.send_seq;
            if (content || acknowledged) return length;
        }
        if (now_us() >= deadline) return -1;
    }
}

int send_reliably(NetEndpoint& endpoint, LinkState& link, const uint8_t* datagram, int length,
                  uint8_t* reply, int64_t timeout_us, int tries) {
    for (int i = 0; i < tries; ++i) {
        if (send_datagram(endpoint, datagram, length) != length) return -1;
        int reply_length = wait_reply(endpoint, link, reply, timeout_us);
        if (reply_length >= 0) return reply_length;
    }
    return -1;
}

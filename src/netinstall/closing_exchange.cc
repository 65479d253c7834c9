#include "netinstall/closing_exchange.h"

#include <cstdio>

#include "netinstall/protocol_messages.h"
#include "netinstall/reliable_send.h"

void send_termination(NetEndpoint& endpoint, LinkState& link, int64_t wait_us, int tries) {
    uint8_t datagram[MAX_DATAGRAM];
    uint8_t reply[RECEIVE_BUFFER_SIZE];
    int length = build_message(link, datagram, TAG_TERMINATION, false, false);
    send_reliably(endpoint, link, datagram, length, reply, wait_us, tries);
}

void wait_for_end(NetEndpoint& endpoint, LinkState& link, ConversationSide side) {
    bool client = side == ConversationSide::client;
    uint8_t datagram[RECEIVE_BUFFER_SIZE];
    uint8_t ack[HEADER_SIZE];
    for (;;) {
        int length = wait_datagram_or_key(endpoint, datagram);
        if (length == KEY_WAITING || length == 0) {
            if (length == KEY_WAITING && !client) getchar();
            send_termination(endpoint, link, TERMINATION_WAIT_US, TERMINATION_TRIES);
            return;
        }
        if (length < 0) continue;
        // A repeat of the last block: the server did not get its
        // acknowledgement, which goes again (as while the files came).
        if (client && repeats_accepted_message(link, datagram, length)) {
            send_datagram(endpoint, ack, build_acknowledgement(link, ack));
            continue;
        }
        if (!accept_datagram(link, datagram, length)) continue;
        if (client && read_header(datagram).seq == link.recv_seq) {
            send_datagram(endpoint, ack, build_acknowledgement(link, ack));
            printf("resend ack: %d\n", link.recv_seq);
            fflush(stdout);
        }
        if (payload_begins_with(datagram, length, TAG_TERMINATION)) {
            send_datagram(endpoint, ack, build_acknowledgement(link, ack));
            return;
        }
    }
}

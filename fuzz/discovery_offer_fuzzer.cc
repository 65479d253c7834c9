// A datagram read by the discovery rules (a server listing routers) and by
// the offer rules (a client waiting for a server), as they come off the
// socket: the label is always a terminated text of at most 31 characters
// found in the payload, and "keep" is only ever read from the payload.
#include <cstdint>
#include <cstring>
#include <vector>

#include "netinstall/net_endpoint.h"
#include "netinstall/protocol_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    LinkState link;
    init_link(link);
    link.recv_seq = static_cast<uint16_t>(data[0] | data[1] << 8);
    size_t length = size - 2 > RECEIVE_BUFFER_SIZE ? RECEIVE_BUFFER_SIZE : size - 2;
    std::vector<uint8_t> datagram(data + 2, data + 2 + length);
    int n = static_cast<int>(length);

    char label[LABEL_SIZE];
    memset(label, 'x', sizeof label);
    if (read_discovery(datagram.data(), n, label)) {
        size_t label_length = strnlen(label, sizeof label);
        if (label_length >= LABEL_SIZE) __builtin_trap();
        DatagramHeader h = read_header(datagram.data());
        if (!mac_is_zero(h.dst_mac) || h.ack != 0 || h.kind != KIND_TEXT) __builtin_trap();
        if (HEADER_SIZE + h.payload_length > n) __builtin_trap();
        // The label's bytes lie inside the payload, ended by the line feed (or
        // cut short by a NUL byte in the line).
        const uint8_t* payload = datagram.data() + HEADER_SIZE;
        bool found = false;
        for (int i = 0; !found && i + static_cast<int>(label_length) < h.payload_length; ++i)
            found = memcmp(payload + i, label, label_length) == 0 &&
                    (payload[i + label_length] == '\n' || payload[i + label_length] == '\0');
        if (!found) __builtin_trap();
    }
    bool keep = true;
    if (read_offer(link, datagram.data(), n, keep)) {
        DatagramHeader h = read_header(datagram.data());
        if (mac_is_zero(h.dst_mac) || h.ack != link.recv_seq) __builtin_trap();
        if (keep) {
            const uint8_t* payload = datagram.data() + HEADER_SIZE;
            bool found = false;
            for (int i = 0; !found && i + 6 <= h.payload_length; ++i)
                found = memcmp(payload + i, "\nkeep\n", 6) == 0;
            if (!found) __builtin_trap();
        }
    } else if (keep) {
        __builtin_trap();  // keep is cleared whenever the offer is refused
    }
    return 0;
}

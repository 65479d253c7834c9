// A datagram from the network taken by a side of a conversation in any
// state: the first 6 input bytes choose the link (its sequence numbers and
// which of a few MACs are its own and its peer's, so that the address
// rules meet), the rest is the datagram as it came off the socket.
#include <cstdint>
#include <cstring>
#include <vector>

#include "netinstall/link_state.h"
#include "netinstall/net_endpoint.h"

namespace {

const uint8_t MACS[4][MAC_LENGTH] = {{0, 0, 0, 0, 0, 0},
                                     {2, 0, 0, 0, 0, 1},
                                     {2, 0, 0, 0, 0, 2},
                                     {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    LinkState link;
    init_link(link);
    link.send_seq = static_cast<uint16_t>(data[0] | data[1] << 8);
    link.recv_seq = static_cast<uint16_t>(data[2] | data[3] << 8);
    memcpy(link.own_mac, MACS[data[4] & 3], MAC_LENGTH);
    memcpy(link.peer_mac, MACS[data[5] & 3], MAC_LENGTH);
    // Exactly the received bytes, in a buffer of the receive size.
    size_t length = size - 6 > RECEIVE_BUFFER_SIZE ? RECEIVE_BUFFER_SIZE : size - 6;
    std::vector<uint8_t> datagram(data + 6, data + 6 + length);
    int n = static_cast<int>(length);

    bool valid = header_valid(link, datagram.data(), n);
    uint16_t before = link.recv_seq;
    bool accepted = accept_datagram(link, datagram.data(), n);
    if (accepted && !valid) __builtin_trap();
    if (!valid && n >= HEADER_SIZE && link.recv_seq != before) __builtin_trap();
    if (accepted && n >= HEADER_SIZE) {
        DatagramHeader h = read_header(datagram.data());
        if (n != HEADER_SIZE + h.payload_length) __builtin_trap();
        if (same_mac(h.src_mac, link.own_mac)) __builtin_trap();
        if ((h.flags & ACK_FLAG) && h.ack > link.send_seq) __builtin_trap();
        // Content moves recv_seq up by exactly one, never around.
        if (h.payload_length > 0 && (link.recv_seq != before + 1 || h.seq != link.recv_seq))
            __builtin_trap();
        if (h.payload_length == 0 && link.recv_seq != before) __builtin_trap();
        // Encoding the decoded header gives the same 20 bytes.
        uint8_t again[HEADER_SIZE];
        write_header(again, h);
        if (memcmp(again, datagram.data(), HEADER_SIZE) != 0) __builtin_trap();
    } else if (link.recv_seq != before) {
        __builtin_trap();
    }
    for (const char* tag : {"DSCV", "OFFR", "TERM", "FILE"})
        payload_begins_with(datagram.data(), n, tag);
    return 0;
}

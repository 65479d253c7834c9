#include "netinstall/link_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const uint8_t OWN[MAC_LENGTH] = {0x02, 0, 0, 0, 0, 0x0a};
const uint8_t PEER[MAC_LENGTH] = {0x02, 0, 0, 0, 0, 0x0b};
const uint8_t STRANGER[MAC_LENGTH] = {0x02, 0, 0, 0, 0, 0x0c};
const uint8_t NOBODY[MAC_LENGTH] = {};

// A datagram of payload bytes of 'x' with the given header fields.
std::vector<uint8_t> datagram(const uint8_t* src, const uint8_t* dst, int payload, uint16_t seq,
                              bool ack_flag = false, uint16_t ack = 0) {
    std::vector<uint8_t> bytes(HEADER_SIZE + payload, 'x');
    DatagramHeader h;
    memcpy(h.src_mac, src, MAC_LENGTH);
    memcpy(h.dst_mac, dst, MAC_LENGTH);
    h.flags = ack_flag ? ACK_FLAG : 0;
    h.kind = KIND_TEXT;
    h.payload_length = static_cast<uint16_t>(payload);
    h.seq = seq;
    h.ack = ack;
    write_header(bytes.data(), h);
    return bytes;
}

bool valid(const LinkState& link, const std::vector<uint8_t>& d) {
    return header_valid(link, d.data(), static_cast<int>(d.size()));
}

bool accept(LinkState& link, const std::vector<uint8_t>& d) {
    return accept_datagram(link, d.data(), static_cast<int>(d.size()));
}

LinkState link_with(const uint8_t* own, const uint8_t* peer) {
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, own, MAC_LENGTH);
    memcpy(link.peer_mac, peer, MAC_LENGTH);
    return link;
}

}  // namespace

TEST(LinkState, BuildsTheHeaderLittleEndianFromTheLink) {
    LinkState link = link_with(OWN, PEER);
    link.send_seq = 0x1234;
    link.recv_seq = 0xabcd;
    uint8_t bytes[HEADER_SIZE];
    build_header(link, bytes, 0x0102, true, KIND_DATA);
    const uint8_t expected[HEADER_SIZE] = {0x02, 0,    0, 0, 0,    0x0a, 0x02, 0,    0,    0,
                                           0,    0x0b, 1, 1, 0x02, 0x01, 0x34, 0x12, 0xcd, 0xab};
    EXPECT_EQ(memcmp(bytes, expected, HEADER_SIZE), 0);
    // Without the flag the ack field is 0; building never changes the link.
    build_header(link, bytes, 0, false, KIND_TEXT);
    EXPECT_EQ(bytes[12], 0);
    EXPECT_EQ(bytes[18], 0);
    EXPECT_EQ(bytes[19], 0);
    EXPECT_EQ(link.send_seq, 0x1234);

    init_link(link);
    EXPECT_EQ(link.send_seq, 1);
    EXPECT_EQ(link.recv_seq, 0);
    EXPECT_TRUE(mac_is_zero(link.own_mac) && mac_is_zero(link.peer_mac));
    memcpy(link.own_mac, OWN, MAC_LENGTH);
    link.send_seq = 9;
    link.recv_seq = 9;
    reset_link(link);
    EXPECT_EQ(link.send_seq, 1);
    EXPECT_EQ(link.recv_seq, 0);
    EXPECT_TRUE(same_mac(link.own_mac, OWN));
}

TEST(LinkState, ValidationRulesInOrder) {
    LinkState listening = link_with(OWN, NOBODY);
    LinkState talking = link_with(OWN, PEER);
    auto good = datagram(PEER, OWN, 3, 1);
    EXPECT_TRUE(valid(talking, good));
    EXPECT_TRUE(valid(listening, good));

    // 1, 2: whole datagrams only.
    EXPECT_FALSE(header_valid(talking, good.data(), HEADER_SIZE - 1));
    EXPECT_FALSE(header_valid(talking, good.data(), static_cast<int>(good.size()) - 1));
    auto longer = good;
    longer.push_back('x');
    EXPECT_FALSE(valid(talking, longer));
    // 3: our own datagram back on the interface that sent it.
    EXPECT_FALSE(valid(listening, datagram(OWN, NOBODY, 3, 1)));
    EXPECT_FALSE(valid(talking, datagram(OWN, OWN, 3, 1)));
    // No card has the all-zero address: nothing from it is taken, so it
    // never becomes a peer that would stand for "no peer".
    EXPECT_FALSE(valid(listening, datagram(NOBODY, OWN, 3, 1)));
    EXPECT_FALSE(valid(listening, datagram(NOBODY, NOBODY, 3, 1)));
    // 4: addressed to someone else; to nobody only while there is no peer.
    EXPECT_FALSE(valid(listening, datagram(PEER, STRANGER, 3, 1)));
    EXPECT_TRUE(valid(listening, datagram(PEER, NOBODY, 3, 1)));
    EXPECT_FALSE(valid(talking, datagram(PEER, NOBODY, 3, 1)));
    // 5: with a peer, only from the peer.
    EXPECT_FALSE(valid(talking, datagram(STRANGER, OWN, 3, 1)));
    EXPECT_TRUE(valid(listening, datagram(STRANGER, OWN, 3, 1)));
}

TEST(LinkState, AcceptsContentOnlyInSequenceAndNeverWraps) {
    LinkState link = link_with(OWN, PEER);
    link.send_seq = 5;
    // An acknowledgement above what we sent is refused; at or below it is
    // taken without touching recv_seq.
    EXPECT_FALSE(accept(link, datagram(PEER, OWN, 0, 7, true, 6)));
    EXPECT_TRUE(accept(link, datagram(PEER, OWN, 0, 7, true, 5)));
    EXPECT_TRUE(accept(link, datagram(PEER, OWN, 0, 7, true, 2)));
    EXPECT_EQ(link.recv_seq, 0);
    // Without the flag the ack field is not looked at.
    EXPECT_TRUE(accept(link, datagram(PEER, OWN, 0, 7, false, 60000)));

    // Content: exactly recv_seq + 1; a repeat or a gap is refused.
    EXPECT_FALSE(accept(link, datagram(PEER, OWN, 1, 2)));
    EXPECT_TRUE(accept(link, datagram(PEER, OWN, 1, 1)));
    EXPECT_EQ(link.recv_seq, 1);
    EXPECT_FALSE(accept(link, datagram(PEER, OWN, 1, 1)));
    // The refused repeat is known as one (its acknowledgement goes again);
    // a bare acknowledgement or a stranger's datagram never is.
    auto repeat = datagram(PEER, OWN, 1, 1);
    EXPECT_TRUE(repeats_accepted_message(link, repeat.data(), static_cast<int>(repeat.size())));
    auto bare = datagram(PEER, OWN, 0, 1, true, 5);
    EXPECT_FALSE(repeats_accepted_message(link, bare.data(), static_cast<int>(bare.size())));
    auto stranger = datagram(STRANGER, OWN, 1, 1);
    EXPECT_FALSE(
        repeats_accepted_message(link, stranger.data(), static_cast<int>(stranger.size())));
    EXPECT_TRUE(accept(link, datagram(PEER, OWN, 1, 2, true, 5)));
    EXPECT_EQ(link.recv_seq, 2);
    // Invalid headers are never accepted, whatever their numbers.
    EXPECT_FALSE(accept(link, datagram(STRANGER, OWN, 1, 3)));
    EXPECT_EQ(link.recv_seq, 2);

    // The last number is 65535; nothing with content comes after it.
    link.recv_seq = 65534;
    EXPECT_TRUE(accept(link, datagram(PEER, OWN, 1, 65535)));
    EXPECT_EQ(link.recv_seq, 65535);
    EXPECT_FALSE(accept(link, datagram(PEER, OWN, 1, 0)));
    EXPECT_FALSE(accept(link, datagram(PEER, OWN, 1, 1)));
    EXPECT_EQ(link.recv_seq, 65535);
    // Bare acknowledgements still pass.
    EXPECT_TRUE(accept(link, datagram(PEER, OWN, 0, 0, true, 5)));
}

TEST(LinkState, TagsAreLookedForInsideThePayloadOnly) {
    auto term = datagram(PEER, OWN, 4, 1);
    memcpy(term.data() + HEADER_SIZE, "TERM", 4);
    EXPECT_TRUE(payload_begins_with(term.data(), static_cast<int>(term.size()), "TERM"));
    EXPECT_FALSE(payload_begins_with(term.data(), static_cast<int>(term.size()), "FILE"));
    // A bare acknowledgement in a buffer that held "TERM" before is no TERM.
    DatagramHeader h = read_header(term.data());
    h.payload_length = 0;
    write_header(term.data(), h);
    EXPECT_FALSE(payload_begins_with(term.data(), HEADER_SIZE, "TERM"));
    EXPECT_FALSE(payload_begins_with(term.data(), static_cast<int>(term.size()), "TERM"));
}

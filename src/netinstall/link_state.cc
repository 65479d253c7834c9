#include "netinstall/link_state.h"

#include <cstring>

namespace {

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void put16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value & 0xff);
    p[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

DatagramHeader read_header(const uint8_t* datagram) {
    DatagramHeader header;
    memcpy(header.src_mac, datagram, MAC_LENGTH);
    memcpy(header.dst_mac, datagram + 6, MAC_LENGTH);
    header.flags = datagram[12];
    header.kind = datagram[13];
    header.payload_length = get16(datagram + 14);
    header.seq = get16(datagram + 16);
    header.ack = get16(datagram + 18);
    return header;
}

void write_header(uint8_t* datagram, const DatagramHeader& header) {
    memcpy(datagram, header.src_mac, MAC_LENGTH);
    memcpy(datagram + 6, header.dst_mac, MAC_LENGTH);
    datagram[12] = header.flags;
    datagram[13] = header.kind;
    put16(datagram + 14, header.payload_length);
    put16(datagram + 16, header.seq);
    put16(datagram + 18, header.ack);
}

void init_link(LinkState& link) {
    memset(link.own_mac, 0, MAC_LENGTH);
    memset(link.peer_mac, 0, MAC_LENGTH);
    memset(link.no_address, 0, MAC_LENGTH);
    reset_link(link);
}

void reset_link(LinkState& link) {
    link.send_seq = 1;
    link.recv_seq = 0;
}

void build_header(const LinkState& link, uint8_t* datagram, int payload_length, bool ack_flag,
                  uint8_t kind) {
    DatagramHeader header;
    memcpy(header.src_mac, link.own_mac, MAC_LENGTH);
    memcpy(header.dst_mac, link.peer_mac, MAC_LENGTH);
    header.flags = ack_flag ? ACK_FLAG : 0;
    header.kind = kind;
    header.payload_length = static_cast<uint16_t>(payload_length);
    header.seq = link.send_seq;
    header.ack = ack_flag ? link.recv_seq : 0;
    write_header(datagram, header);
}

bool header_valid(const LinkState& link, const uint8_t* datagram, int length) {
    if (length < HEADER_SIZE) return false;
    DatagramHeader header = read_header(datagram);
    if (length != HEADER_SIZE + header.payload_length) return false;
    // Our own broadcast, back on the interface that sent it.
    if (same_mac(header.src_mac, link.own_mac)) return false;
    // No card has the all-zero address: taken as a peer, it would stand for
    // "no peer" and let anyone in.
    if (mac_is_zero(header.src_mac)) return false;
    // Addressed to us, or to nobody while we have no peer.
    bool to_us = same_mac(header.dst_mac, link.own_mac);
    bool to_nobody =
        same_mac(header.dst_mac, link.no_address) && same_mac(link.peer_mac, link.no_address);
    if (!to_us && !to_nobody) return false;
    return same_mac(link.peer_mac, link.no_address) || same_mac(header.src_mac, link.peer_mac);
}

bool accept_datagram(LinkState& link, const uint8_t* datagram, int length) {
    if (!header_valid(link, datagram, length)) return false;
    DatagramHeader header = read_header(datagram);
    if ((header.flags & ACK_FLAG) && header.ack > link.send_seq) return false;
    if (header.payload_length == 0) return true;
    // No wrap: once recv_seq is 65535 nothing with content is taken.
    if (uint32_t{header.seq} != uint32_t{link.recv_seq} + 1) return false;
    link.recv_seq = header.seq;
    return true;
}

bool repeats_accepted_message(const LinkState& link, const uint8_t* datagram, int length) {
    if (!header_valid(link, datagram, length)) return false;
    DatagramHeader header = read_header(datagram);
    return header.payload_length > 0 && header.seq == link.recv_seq;
}

bool payload_begins_with(const uint8_t* datagram, int length, const char* tag) {
    if (length < HEADER_SIZE + TAG_LENGTH) return false;
    if (read_header(datagram).payload_length < TAG_LENGTH) return false;
    return memcmp(datagram + HEADER_SIZE, tag, TAG_LENGTH) == 0;
}

#include "netinstall/protocol_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const uint8_t CLIENT[MAC_LENGTH] = {0x02, 0, 0, 0, 0x02, 0x01};
const uint8_t SERVER[MAC_LENGTH] = {0x02, 0, 0, 0, 0x01, 0x01};

std::string bytes_of(const uint8_t* datagram, int length) {
    return std::string(reinterpret_cast<const char*>(datagram), static_cast<size_t>(length));
}

// A datagram of the given payload text (NUL bytes included) and fields.
std::vector<uint8_t> message(const std::string& payload, const uint8_t* src, const uint8_t* dst,
                             uint16_t ack = 0, uint8_t flags = 0, uint8_t kind = KIND_TEXT) {
    std::vector<uint8_t> d(HEADER_SIZE + payload.size());
    DatagramHeader h = {};
    memcpy(h.src_mac, src, MAC_LENGTH);
    if (dst != nullptr) memcpy(h.dst_mac, dst, MAC_LENGTH);
    h.flags = flags;
    h.kind = kind;
    h.payload_length = static_cast<uint16_t>(payload.size());
    h.seq = 1;
    h.ack = ack;
    write_header(d.data(), h);
    memcpy(d.data() + HEADER_SIZE, payload.data(), payload.size());
    return d;
}

bool discovery(const std::vector<uint8_t>& d, std::string* label = nullptr) {
    char text[LABEL_SIZE];
    memset(text, '#', sizeof text);
    bool ok = read_discovery(d.data(), static_cast<int>(d.size()), text);
    if (ok && label != nullptr) *label = text;
    return ok;
}

// The client's side right after it accepted the datagram: recv_seq 1.
bool offer(const std::vector<uint8_t>& d, bool& keep) {
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, CLIENT, MAC_LENGTH);
    link.recv_seq = 1;
    return read_offer(link, d.data(), static_cast<int>(d.size()), keep);
}

}  // namespace

TEST(ProtocolMessages, DiscoveryCarriesTheLabelOnItsFourthLine) {
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, CLIENT, MAC_LENGTH);
    uint8_t d[MAX_DATAGRAM];
    int length = build_discovery(link, d, "lab-router");
    std::string expected_header("\x02\0\0\0\x02\x01\0\0\0\0\0\0\0\0\x13\0\x01\0\0\0", 20);
    EXPECT_EQ(bytes_of(d, length), expected_header + std::string("DSCV\n\n\nlab-router\n\0", 19));

    std::string label;
    std::vector<uint8_t> sent(d, d + length);
    ASSERT_TRUE(discovery(sent, &label));
    EXPECT_EQ(label, "lab-router");

    // A label never makes a line of 32 characters.
    length = build_discovery(link, d, std::string(40, 'L').c_str());
    ASSERT_TRUE(discovery(std::vector<uint8_t>(d, d + length), &label));
    EXPECT_EQ(label, std::string(31, 'L'));
}

TEST(ProtocolMessages, DiscoveryRules) {
    std::string label;
    EXPECT_TRUE(discovery(message("DSCV\nr1\nr2\n" + std::string(31, 'x') + "\n", CLIENT, nullptr),
                          &label));
    EXPECT_EQ(label, std::string(31, 'x'));
    // Lines of 32 characters, missing line ends, a short payload.
    EXPECT_FALSE(discovery(message("DSCV\n\n\n" + std::string(32, 'x') + "\n", CLIENT, nullptr)));
    EXPECT_FALSE(discovery(message("DSCV\n" + std::string(32, 'r') + "\n\nx\n", CLIENT, nullptr)));
    EXPECT_FALSE(discovery(message("DSCV\n\n\nlabel", CLIENT, nullptr)));
    EXPECT_FALSE(discovery(message("DSCV\n\n", CLIENT, nullptr)));
    EXPECT_FALSE(discovery(message("DSC", CLIENT, nullptr)));
    // A line end beyond the payload does not count.
    auto cut = message("DSCV\n\n\nlabel\n", CLIENT, nullptr);
    DatagramHeader h = read_header(cut.data());
    h.payload_length -= 1;
    write_header(cut.data(), h);
    EXPECT_FALSE(read_discovery(cut.data(), static_cast<int>(cut.size()) - 1, &label[0]));
    // Not addressed to nobody, an ack, file data, another tag.
    EXPECT_FALSE(discovery(message("DSCV\n\n\nx\n", CLIENT, SERVER)));
    EXPECT_FALSE(discovery(message("DSCV\n\n\nx\n", CLIENT, nullptr, 1, ACK_FLAG)));
    EXPECT_FALSE(discovery(message("DSCV\n\n\nx\n", CLIENT, nullptr, 0, 0, KIND_DATA)));
    EXPECT_FALSE(discovery(message("DSCX\n\n\nx\n", CLIENT, nullptr)));
    // An empty label is a label.
    EXPECT_TRUE(discovery(message("DSCV\n\n\n\n", CLIENT, nullptr), &label));
    EXPECT_EQ(label, "");
}

TEST(ProtocolMessages, OfferWithAndWithoutKeep) {
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, SERVER, MAC_LENGTH);
    memcpy(link.peer_mac, CLIENT, MAC_LENGTH);
    link.recv_seq = 1;
    uint8_t d[MAX_DATAGRAM];
    int length = build_offer(link, d, true);
    std::string header("\x02\0\0\0\x01\x01\x02\0\0\0\x02\x01\x01\0\x0c\0\x01\0\x01\0", 20);
    EXPECT_EQ(bytes_of(d, length), header + std::string("OFFR\n\nkeep\n\0", 12));
    bool keep = false;
    EXPECT_TRUE(offer(std::vector<uint8_t>(d, d + length), keep));
    EXPECT_TRUE(keep);

    length = build_offer(link, d, false);
    header[14] = 0x07;
    EXPECT_EQ(bytes_of(d, length), header + std::string("OFFR\n\n\0", 7));
    EXPECT_TRUE(offer(std::vector<uint8_t>(d, d + length), keep));
    EXPECT_FALSE(keep);
}

TEST(ProtocolMessages, OfferRules) {
    bool keep = true;
    auto offered = [&](const std::string& payload, uint16_t ack = 1, const uint8_t* dst = CLIENT,
                       uint8_t kind = KIND_TEXT) {
        return offer(message(payload, SERVER, dst, ack, ACK_FLAG, kind), keep);
    };
    EXPECT_TRUE(offered("OFFR\n" + std::string(512, 'r') + "\nkeep\n"));
    EXPECT_TRUE(keep);
    EXPECT_FALSE(offered("OFFR\n" + std::string(513, 'r') + "\nkeep\n"));
    EXPECT_FALSE(keep);
    // keep only as a whole, ended third line.
    EXPECT_TRUE(offered("OFFR\n\nkeeps\n"));
    EXPECT_FALSE(keep);
    EXPECT_TRUE(offered("OFFR\n\nkeep"));
    EXPECT_FALSE(keep);
    EXPECT_TRUE(offered("OFFR\n\nKEEP\n"));
    EXPECT_FALSE(keep);
    // Two line ends are needed.
    EXPECT_FALSE(offered("OFFR\n"));
    EXPECT_FALSE(offered("OFFR"));
    // Addressed to nobody (another client's announcement), the wrong ack,
    // file data, another tag.
    EXPECT_FALSE(offered("OFFR\n\n", 1, nullptr));
    EXPECT_FALSE(offered("OFFR\n\n", 2));
    EXPECT_FALSE(offered("OFFR\n\n", 1, CLIENT, KIND_DATA));
    EXPECT_FALSE(offered("DSCV\n\n\nx\n"));
}

TEST(ProtocolMessages, TextMessagesAndAcknowledgements) {
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, CLIENT, MAC_LENGTH);
    memcpy(link.peer_mac, SERVER, MAC_LENGTH);
    link.send_seq = 2;
    link.recv_seq = 1;
    uint8_t d[MAX_DATAGRAM];
    int length = build_message(link, d, ACCEPTANCE_TEXT, false, true);
    ASSERT_EQ(length, HEADER_SIZE + 5);
    EXPECT_EQ(bytes_of(d + HEADER_SIZE, 5), "YACK\n");
    DatagramHeader h = read_header(d);
    EXPECT_EQ(h.flags, ACK_FLAG);
    EXPECT_EQ(h.seq, 2);
    EXPECT_EQ(h.ack, 1);

    length = build_message(link, d, TAG_START, false, false);
    ASSERT_EQ(length, HEADER_SIZE + 4);
    EXPECT_EQ(bytes_of(d + HEADER_SIZE, 4), "STRT");
    EXPECT_EQ(read_header(d).flags, 0);

    EXPECT_EQ(build_acknowledgement(link, d), HEADER_SIZE);
    h = read_header(d);
    EXPECT_EQ(h.payload_length, 0);
    EXPECT_EQ(h.flags, ACK_FLAG);
    EXPECT_EQ(h.ack, 1);
}

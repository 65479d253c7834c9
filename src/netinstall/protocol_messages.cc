#include "netinstall/protocol_messages.h"

#include <cstdio>
#include <cstring>

namespace {

// The end (index of the line feed) of the line that starts at from, within
// the payload's length bytes; -1 when the line is not ended.
int line_end(const uint8_t* payload, int length, int from) {
    for (int i = from; i < length; ++i) {
        if (payload[i] == '\n') return i;
    }
    return -1;
}

}  // namespace

int build_message(const LinkState& link, uint8_t* datagram, const char* text, bool with_terminator,
                  bool ack_flag) {
    size_t length = strnlen(text, MAX_BLOCK - 1) + (with_terminator ? 1 : 0);
    memcpy(datagram + HEADER_SIZE, text, length);
    if (with_terminator) datagram[HEADER_SIZE + length - 1] = '\0';
    build_header(link, datagram, static_cast<int>(length), ack_flag, KIND_TEXT);
    return HEADER_SIZE + static_cast<int>(length);
}

int build_acknowledgement(const LinkState& link, uint8_t* datagram) {
    build_header(link, datagram, 0, true, KIND_TEXT);
    return HEADER_SIZE;
}

int build_discovery(const LinkState& link, uint8_t* datagram, const char* label) {
    char text[TAG_LENGTH + 3 + LABEL_SIZE + 1];
    snprintf(text, sizeof text, "%s\n\n\n%.*s\n", TAG_DISCOVERY, LABEL_SIZE - 1, label);
    return build_message(link, datagram, text, true, false);
}

bool read_discovery(const uint8_t* datagram, int length, char* label) {
    if (length < HEADER_SIZE) return false;
    DatagramHeader header = read_header(datagram);
    if (length != HEADER_SIZE + header.payload_length) return false;
    if (!mac_is_zero(header.dst_mac) || header.ack != 0 || header.kind != KIND_TEXT) return false;
    if (!payload_begins_with(datagram, length, TAG_DISCOVERY)) return false;
    const uint8_t* payload = datagram + HEADER_SIZE;
    int size = header.payload_length;
    int end = line_end(payload, size, TAG_LENGTH);
    if (end < 0) return false;
    int start = 0;
    for (int line = 0; line < 3; ++line) {
        start = end + 1;
        end = line_end(payload, size, start);
        if (end < 0 || end - start >= LABEL_SIZE) return false;
    }
    memcpy(label, payload + start, static_cast<size_t>(end - start));
    label[end - start] = '\0';
    return true;
}

int build_offer(const LinkState& link, uint8_t* datagram, bool keep) {
    char text[16];
    snprintf(text, sizeof text, "%s\n\n%s", TAG_OFFER, keep ? "keep\n" : "");
    return build_message(link, datagram, text, true, true);
}

bool read_offer(const LinkState& link, const uint8_t* datagram, int length, bool& keep) {
    keep = false;
    if (length < HEADER_SIZE) return false;
    DatagramHeader header = read_header(datagram);
    if (length != HEADER_SIZE + header.payload_length) return false;
    if (mac_is_zero(header.dst_mac) || header.ack != link.recv_seq || header.kind != KIND_TEXT)
        return false;
    if (!payload_begins_with(datagram, length, TAG_OFFER)) return false;
    const uint8_t* payload = datagram + HEADER_SIZE;
    int size = header.payload_length;
    int first = line_end(payload, size, TAG_LENGTH);
    if (first < 0) return false;
    int second = line_end(payload, size, first + 1);
    if (second < 0 || second - first - 1 > OFFER_RESERVED_LIMIT) return false;
    int third = line_end(payload, size, second + 1);
    keep = third == second + 5 && memcmp(payload + second + 1, "keep", 4) == 0;
    return true;
}

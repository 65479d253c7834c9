#include "netinstall/file_receiver.h"

#include <cstring>

#include "netinstall/protocol_messages.h"

namespace {

// Waits for the next message with content the link accepts; acknowledges
// repeats meanwhile. False after CLIENT_GIVE_UP_US.
bool wait_for_content(FileReceiver& receiver) {
    int64_t start = now_us();
    for (;;) {
        int length = wait_datagram(*receiver.endpoint, receiver.datagram, CLIENT_WAIT_US);
        if (length >= HEADER_SIZE) {
            if (accept_datagram(*receiver.link, receiver.datagram, length) &&
                read_header(receiver.datagram).payload_length > 0)
                return true;
            if (repeats_accepted_message(*receiver.link, receiver.datagram, length))
                acknowledge(receiver);
        }
        if (now_us() - start > CLIENT_GIVE_UP_US) return false;
    }
}

// Whether an accepted datagram is a bare acknowledgement: from the server
// only a late or doubled one (of the acceptance, of the start), which the
// stop-and-wait exchange no longer waits for.
bool bare_acknowledgement(const uint8_t* datagram) {
    DatagramHeader header = read_header(datagram);
    return header.payload_length == 0 && (header.flags & ACK_FLAG);
}

// Waits for the next accepted datagram of any kind but a bare
// acknowledgement (an empty data block included); acknowledges repeats
// meanwhile. False after CLIENT_GIVE_UP_US.
bool wait_for_block(FileReceiver& receiver) {
    int64_t start = now_us();
    for (;;) {
        int length = wait_datagram(*receiver.endpoint, receiver.datagram, CLIENT_WAIT_US);
        if (length >= HEADER_SIZE) {
            if (accept_datagram(*receiver.link, receiver.datagram, length) &&
                !bare_acknowledgement(receiver.datagram))
                return true;
            if (repeats_accepted_message(*receiver.link, receiver.datagram, length))
                acknowledge(receiver);
        }
        if (now_us() - start > CLIENT_GIVE_UP_US) return false;
    }
}

}  // namespace

void init_file_receiver(FileReceiver& receiver, NetEndpoint& endpoint, LinkState& link) {
    memset(receiver.datagram, 0, sizeof receiver.datagram);
    memset(receiver.name, 0, sizeof receiver.name);
    receiver.size = 0;
    receiver.block_length = 0;
    receiver.received = 0;
    receiver.block_position = 0;
    receiver.kept_length = 0;
    receiver.endpoint = &endpoint;
    receiver.link = &link;
}

void acknowledge(FileReceiver& receiver) {
    int length = build_acknowledgement(*receiver.link, receiver.datagram);
    send_datagram(*receiver.endpoint, receiver.datagram, length);
}

bool receive_file_header(FileReceiver& receiver) {
    receiver.size = 0;
    receiver.block_length = 0;
    receiver.received = 0;
    receiver.block_position = 0;
    bool kept = receiver.kept_length > 0;
    receiver.kept_length = 0;
    if (!kept && !wait_for_content(receiver)) return false;
    DatagramHeader header = read_header(receiver.datagram);
    if (header.kind != KIND_TEXT) return false;
    if (!parse_file_header(receiver.datagram + HEADER_SIZE, header.payload_length, receiver.name,
                           receiver.size))
        return false;
    acknowledge(receiver);
    return true;
}

bool keep_message(FileReceiver& receiver, const uint8_t* datagram, int length) {
    if (length < HEADER_SIZE || length > static_cast<int>(sizeof receiver.datagram)) return false;
    if (datagram != receiver.datagram)
        memcpy(receiver.datagram, datagram, static_cast<size_t>(length));
    receiver.kept_length = length;
    return true;
}

int receive_file_data(FileReceiver& receiver, uint8_t* buffer, int wanted) {
    if (receiver.received >= receiver.size || wanted <= 0) return 0;
    int delivered = 0;
    for (;;) {
        if (receiver.block_position == receiver.block_length) {
            if (!wait_for_block(receiver)) return -1;
            DatagramHeader header = read_header(receiver.datagram);
            if (header.kind != KIND_DATA) return -1;
            receiver.block_length = header.payload_length;
            // The acknowledgement is built over the header only: the
            // block's bytes behind it stay.
            acknowledge(receiver);
            receiver.block_position = 0;
        }
        int count = wanted - delivered;
        int in_block = receiver.block_length - receiver.block_position;
        int in_file = receiver.size - receiver.received;
        if (count > in_block) count = in_block;
        if (count > in_file) count = in_file;
        memcpy(buffer + delivered, receiver.datagram + HEADER_SIZE + receiver.block_position,
               static_cast<size_t>(count));
        receiver.block_position += count;
        receiver.received += count;
        delivered += count;
        if (delivered == wanted || receiver.received >= receiver.size) {
            // Whatever a block holds beyond the announced size is dropped.
            if (receiver.received >= receiver.size) receiver.block_position = receiver.block_length;
            return delivered;
        }
    }
}

#include "netinstall/client_conversation.h"

#include <cstring>
#include <new>

#include "netinstall/closing_exchange.h"
#include "netinstall/protocol_messages.h"
#include "netinstall/reliable_send.h"

namespace {

// Sends one announcement on every interface; false when a send fails.
bool announce(InstallClient& client, const char* label) {
    uint8_t datagram[MAX_DATAGRAM];
    for (unsigned i = 0; i < client.interfaces.count; ++i) {
        NetEndpoint& endpoint = *client.interfaces.endpoints[i];
        reset_link(client.link);
        memcpy(client.link.own_mac, endpoint.mac, MAC_LENGTH);
        int length = build_discovery(client.link, datagram, label);
        if (send_datagram(endpoint, datagram, length) < 0) return false;
    }
    return true;
}

// Datagrams taken from one card in one cycle at most: far more than its
// socket can queue, so a card that is flooded faster than it is read
// still lets the cycle go on to its next announcement.
constexpr int MOST_DRAINED_PER_CYCLE = 4096;

// Reads everything queued on every interface; the endpoint of the first
// offer, which the link then holds (peer, sequence numbers), or null. A
// datagram the card drops (another source port, too long) is not the end
// of the queue: the drain goes on until nothing is queued.
NetEndpoint* take_offer(InstallClient& client, bool& keep) {
    uint8_t datagram[RECEIVE_BUFFER_SIZE];
    for (unsigned i = 0; i < client.interfaces.count; ++i) {
        NetEndpoint& endpoint = *client.interfaces.endpoints[i];
        int length;
        for (int drained = 0; drained < MOST_DRAINED_PER_CYCLE &&
                              (length = poll_datagram(endpoint, datagram)) != NOTHING_QUEUED;
             ++drained) {
            if (length < 0) continue;
            reset_link(client.link);
            memcpy(client.link.own_mac, endpoint.mac, MAC_LENGTH);
            bool offered_keep = false;
            if (accept_datagram(client.link, datagram, length) &&
                read_offer(client.link, datagram, length, offered_keep)) {
                memcpy(client.link.peer_mac, read_header(datagram).src_mac, MAC_LENGTH);
                client.link.send_seq++;
                keep = offered_keep;
                return &endpoint;
            }
        }
    }
    return nullptr;
}

}  // namespace

void open_install_client(InstallClient& client) {
    init_link(client.link);
    client.receiver = nullptr;
    client.server_endpoint = nullptr;
    list_client_interfaces(client);
}

void list_client_interfaces(InstallClient& client) {
    free_interfaces(client.interfaces);
    list_interfaces(client.interfaces);
    for (unsigned i = 0; i < client.interfaces.count; ++i)
        keep_own_datagrams(*client.interfaces.endpoints[i]);
}

void close_install_client(InstallClient& client) {
    delete client.receiver;
    client.receiver = nullptr;
    client.server_endpoint = nullptr;
    free_interfaces(client.interfaces);
}

bool create_file_receiver(InstallClient& client) {
    if (client.server_endpoint == nullptr) return false;
    delete client.receiver;
    client.receiver = new (std::nothrow) FileReceiver;
    if (client.receiver == nullptr) return false;
    init_file_receiver(*client.receiver, *client.server_endpoint, client.link);
    return true;
}

NetEndpoint* find_server(InstallClient& client, const char* label, bool& keep) {
    memset(client.link.peer_mac, 0, MAC_LENGTH);
    keep = false;
    for (unsigned cycle = 1;; ++cycle) {
        if (!announce(client, label)) return nullptr;
        pause_us(ANNOUNCE_PAUSE_US);
        if (NetEndpoint* endpoint = take_offer(client, keep)) {
            client.server_endpoint = endpoint;
            return endpoint;
        }
        if (cycle % ANNOUNCE_REBUILD_CYCLES == 0) list_client_interfaces(client);
    }
}

bool accept_offer(InstallClient& client, const char* label, bool& keep) {
    if (!has_interfaces(client.interfaces)) return false;
    uint8_t datagram[MAX_DATAGRAM];
    uint8_t reply[RECEIVE_BUFFER_SIZE];
    for (;;) {
        NetEndpoint* endpoint = find_server(client, label, keep);
        if (endpoint == nullptr) return false;
        int length = build_message(client.link, datagram, ACCEPTANCE_TEXT, false, true);
        if (send_reliably(*endpoint, client.link, datagram, length, reply, ACCEPTANCE_WAIT_US,
                          ACCEPTANCE_TRIES) >= 0) {
            client.link.send_seq++;
            return true;
        }
    }
}

bool request_start(InstallClient& client) {
    if (client.server_endpoint == nullptr) return false;
    uint8_t datagram[MAX_DATAGRAM];
    uint8_t reply[RECEIVE_BUFFER_SIZE];
    int length = build_message(client.link, datagram, TAG_START, false, false);
    int answer = send_reliably(*client.server_endpoint, client.link, datagram, length, reply,
                               START_ACK_WAIT_US, START_TRIES);
    if (answer <= 0) return false;
    client.link.send_seq++;
    // The server goes on with the first file header as soon as it has
    // acknowledged the start: when that acknowledgement was lost, the header
    // is what answered the start, already accepted by the link. It is kept
    // for next_file, which acknowledges it as a header that has just come.
    if (answer > HEADER_SIZE && client.receiver != nullptr)
        keep_message(*client.receiver, reply, answer);
    return true;
}

bool next_file(InstallClient& client, char* name, int& size) {
    FileReceiver* receiver = client.receiver;
    if (receiver == nullptr) return false;
    if (!receive_file_header(*receiver)) {
        send_termination(*receiver->endpoint, client.link, NO_FILE_TERMINATION_WAIT_US,
                         NO_FILE_TERMINATION_TRIES);
        return false;
    }
    strncpy(name, receiver->name, NEXT_FILE_NAME_SIZE - 1);
    name[NEXT_FILE_NAME_SIZE - 1] = '\0';
    size = receiver->size;
    if (size == 0) acknowledge(*receiver);
    return true;
}

#include "net_peer.h"

#include <sys/select.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "floppy/crc32.h"
#include "netinstall/client_conversation.h"
#include "netinstall/closing_exchange.h"
#include "netinstall/file_sender.h"
#include "netinstall/protocol_messages.h"
#include "netinstall/reliable_send.h"

namespace {

bool is_script(const char* name) {
    size_t length = strlen(name);
    return length > 4 && strcmp(name + length - 4, ".scr") == 0;
}

// Receives the current file into folder; its CRC-32, or false.
bool store_file(InstallClient& client, const std::string& folder, const char* name, uint32_t& crc) {
    std::string path = folder + "/" + name;
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) {
        printf("cannot write %s\n", path.c_str());
        return false;
    }
    static uint8_t data[4096];
    crc = 0;
    int n;
    while ((n = receive_file_data(*client.receiver, data, sizeof data)) > 0) {
        fwrite(data, 1, static_cast<size_t>(n), out);
        crc = crc32_ieee_update(crc, data, static_cast<size_t>(n));
    }
    fclose(out);
    return n == 0;
}

// A router heard while listening.
struct HeardRouter {
    NetEndpoint* endpoint = nullptr;
    uint8_t mac[MAC_LENGTH] = {};
    char label[LABEL_SIZE] = {};
};

// Listens on every interface until the wanted router (any, when empty)
// announces itself.
bool listen_for_router(InterfaceList& list, const std::string& wanted, int seconds,
                       HeardRouter& heard) {
    int64_t deadline = now_us() + int64_t{seconds} * 1000000;
    uint8_t datagram[RECEIVE_BUFFER_SIZE];
    LinkState link;
    init_link(link);
    while (now_us() < deadline) {
        fd_set readable;
        FD_ZERO(&readable);
        int highest = 0;
        for (unsigned i = 0; i < list.count; ++i) {
            FD_SET(list.endpoints[i]->socket_fd, &readable);
            if (list.endpoints[i]->socket_fd > highest) highest = list.endpoints[i]->socket_fd;
        }
        timeval limit = {1, 0};
        if (select(highest + 1, &readable, nullptr, nullptr, &limit) <= 0) continue;
        for (unsigned i = 0; i < list.count; ++i) {
            NetEndpoint& endpoint = *list.endpoints[i];
            if (!FD_ISSET(endpoint.socket_fd, &readable)) continue;
            int length = receive_datagram(endpoint, datagram);
            if (length <= 0) continue;
            reset_link(link);
            memcpy(link.own_mac, endpoint.mac, MAC_LENGTH);
            char label[LABEL_SIZE];
            if (!accept_datagram(link, datagram, length) ||
                !read_discovery(datagram, length, label))
                continue;
            DatagramHeader header = read_header(datagram);
            const uint8_t* mac = header.src_mac;
            if (!wanted.empty() && wanted != format_mac(mac)) continue;
            heard.endpoint = &endpoint;
            memcpy(heard.mac, mac, MAC_LENGTH);
            memcpy(heard.label, label, LABEL_SIZE);
            return true;
        }
    }
    return false;
}

}  // namespace

int run_client_peer(const PeerOptions& options) {
    InstallClient client;
    open_install_client(client);
    if (!has_interfaces(client.interfaces)) {
        puts("\nFATAL ERROR: no network card found");
        close_install_client(client);
        return 1;
    }
    printf("\n");
    for (unsigned i = 0; interface_mac_text(client.interfaces, i) != nullptr; ++i)
        printf("mac-address: %s\n", interface_mac_text(client.interfaces, i));
    printf("disk label: %s\n", options.label.c_str());
    bool keep = false;
    for (;;) {
        puts("\nWaiting for installation server...");
        fflush(stdout);
        if (accept_offer(client, options.label.c_str(), keep) && create_file_receiver(client))
            break;
        puts("\nCouldn't find any installation server on network");
    }
    printf("Found server at %s\n", format_mac(client.link.peer_mac));
    printf("keep: %s\n\n", keep ? "yes" : "no");
    fflush(stdout);
    usleep(static_cast<useconds_t>(options.prepare_ms) * 1000);
    if (!request_start(client)) {
        puts("\nFATAL ERROR: server refused to install");
        close_install_client(client);
        return 1;
    }
    char name[NEXT_FILE_NAME_SIZE];
    int size = 0;
    while (next_file(client, name, size) && size != 0) {
        uint32_t crc = 0;
        if (!store_file(client, options.folder, name, crc)) {
            puts("\nFATAL ERROR: bad network connection");
            close_install_client(client);
            return 1;
        }
        printf("received %s: %d bytes, crc %08x\n", name, size, crc);
        fflush(stdout);
        if (is_script(name)) break;
    }
    puts("\nSoftware installed.");
    puts("Press ENTER to reboot");
    fflush(stdout);
    wait_for_end(*client.server_endpoint, client.link, ConversationSide::client);
    puts("conversation closed");
    fflush(stdout);
    close_install_client(client);
    return 0;
}

int run_server_peer(const PeerOptions& options) {
    InterfaceList list;
    list_interfaces(list);
    printf("Looking for routers on %u %s...\n", list.count,
           list.count == 1 ? "interface" : "interfaces");
    fflush(stdout);
    HeardRouter router;
    if (!listen_for_router(list, options.router, options.listen_seconds, router)) {
        puts("no router heard");
        free_interfaces(list);
        return 1;
    }
    printf("router %s (%s)\n", format_mac(router.mac), router.label);
    printf("on the interface %s\n", format_mac(router.endpoint->mac));
    NetEndpoint& endpoint = *router.endpoint;
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, endpoint.mac, MAC_LENGTH);
    memcpy(link.peer_mac, router.mac, MAC_LENGTH);
    link.send_seq = 1;
    link.recv_seq = 1;
    uint8_t datagram[MAX_DATAGRAM];
    uint8_t reply[RECEIVE_BUFFER_SIZE];
    puts("\n\nSending offer...");
    fflush(stdout);
    int length = build_offer(link, datagram, options.keep);
    int answer = send_reliably(endpoint, link, datagram, length, reply, OFFER_WAIT_US, OFFER_TRIES);
    int result = 1;
    if (answer < 0) {
        puts("No response from router (press any key)");
    } else if (!payload_begins_with(reply, answer, TAG_ACCEPTANCE)) {
        puts("Bad response from router (press any key)");
    } else {
        puts("Formating and partitioning harddisk...");
        fflush(stdout);
        link.send_seq++;
        length = build_acknowledgement(link, datagram);
        answer =
            send_reliably(endpoint, link, datagram, length, reply, START_WAIT_US, START_WAIT_TRIES);
        if (answer >= 0 && payload_begins_with(reply, answer, TAG_START)) {
            send_datagram(endpoint, datagram, build_acknowledgement(link, datagram));
            FileSender* sender = new FileSender;
            bool sent = true;
            for (const std::string& path : options.files) {
                init_file_sender(*sender, endpoint, link);
                sent = start_file(*sender, path.c_str(), true) && transfer_file(*sender);
                close_file_sender(*sender);
                if (!sent) break;
                link.send_seq++;
            }
            if (sent) {
                init_file_sender(*sender, endpoint, link);
                if (start_file(*sender, options.script.c_str(), false)) transfer_file(*sender);
                link.send_seq++;
                puts("\nSoftware installed.");
                puts("Press ENTER to reboot");
                fflush(stdout);
                wait_for_end(endpoint, link, ConversationSide::server);
                puts("conversation closed");
                result = 0;
            }
            delete sender;
        }
    }
    fflush(stdout);
    free_interfaces(list);
    return result;
}

bool parse_peer_options(int argc, char** argv, int first, PeerOptions& options, bool& server) {
    if (first >= argc) return false;
    std::string role = argv[first];
    if (role != "--client" && role != "--server") return false;
    server = role == "--server";
    for (int i = first + 1; i < argc; ++i) {
        std::string option = argv[i];
        bool has_value = i + 1 < argc;
        if (option == "--label" && has_value) {
            options.label = argv[++i];
        } else if (option == "--prepare-ms" && has_value) {
            options.prepare_ms = atoi(argv[++i]);
        } else if (option == "--folder" && has_value) {
            options.folder = argv[++i];
        } else if (option == "--keep") {
            options.keep = true;
        } else if (option == "--router" && has_value) {
            options.router = argv[++i];
        } else if (option == "--script" && has_value) {
            options.script = argv[++i];
        } else if (option == "--listen-seconds" && has_value) {
            options.listen_seconds = atoi(argv[++i]);
        } else if (option.compare(0, 2, "--") == 0 || !server) {
            return false;
        } else {
            options.files.push_back(option);
        }
    }
    return true;
}

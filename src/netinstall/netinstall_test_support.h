#pragma once
// Shared by the network tests: private namespaces joined by a cable or a
// segment, the MAC addresses of the lab's cards, and the installation
// protocol's datagrams as seen on the wire.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frame_relay.h"
#include "lab_process.h"
#include "net_namespace.h"
#include "netinstall/file_sender.h"
#include "netinstall/link_state.h"
#include "netinstall/net_endpoint.h"
#include "netinstall/protocol_messages.h"
#include "wire_sniffer.h"

// The cards of the lab (locally administered addresses).
constexpr uint8_t SERVER_MAC[MAC_LENGTH] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
constexpr uint8_t SERVER_MAC_2[MAC_LENGTH] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x02};
constexpr uint8_t CLIENT_MAC[MAC_LENGTH] = {0x02, 0x00, 0x00, 0x00, 0x02, 0x01};
constexpr uint8_t CLIENT_MAC_2[MAC_LENGTH] = {0x02, 0x00, 0x00, 0x00, 0x02, 0x02};
constexpr uint8_t OTHER_CLIENT_MAC[MAC_LENGTH] = {0x02, 0x00, 0x00, 0x00, 0x03, 0x01};

inline std::string mac_option(const uint8_t* mac) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

// Waits, at most timeout_ms, until the kernel reports interface name as
// running. A card that has just come up drops what is sent until its carrier
// has been taken note of, which a loaded machine may do a second or more
// later; a cable waits for that before its test begins. False on time-out.
inline bool wait_until_running(const char* name, int timeout_ms = 10000) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    struct ifreq request = {};
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
    bool running = false;
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        if (ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING)) {
            running = true;
            break;
        }
        usleep(10000);
    }
    close(fd);
    return running;
}

// The same for interface name inside ns, from a thread of its own that
// enters ns (the calling thread stays where it is).
inline bool wait_until_running(const NetNamespace& ns, const char* name) {
    bool running = false;
    std::thread waiter([&] { running = enter_namespace(ns) && wait_until_running(name); });
    waiter.join();
    return running;
}

// Two machines joined by one cable: "srv0" in server, "cli0" in client,
// both up and running before the test begins, so that the first datagram
// either side sends goes through.
struct Cable {
    NetNamespace server;
    NetNamespace client;
    Cable() {
        ok = create_namespace(server) && create_namespace(client) &&
             add_veth(server, "srv0", mac_option(SERVER_MAC), client, "cli0",
                      mac_option(CLIENT_MAC)) &&
             run_ip(server, {"link", "set", "srv0", "up"}) &&
             run_ip(client, {"link", "set", "cli0", "up"}) && wait_until_running(server, "srv0") &&
             wait_until_running(client, "cli0");
    }
    ~Cable() {
        close_namespace(server);
        close_namespace(client);
    }
    bool ok = false;
};

// The endpoint of interface name in the calling child's namespace; the
// child ends with 100 when it cannot be opened.
inline NetEndpoint open_or_exit(const char* name, const uint8_t* mac) {
    NetEndpoint endpoint;
    memcpy(endpoint.mac, mac, MAC_LENGTH);
    if (!open_endpoint(endpoint, name, INSTALL_PORT)) {
        printf("cannot open %s\n", name);
        fflush(stdout);
        _exit(100);
    }
    return endpoint;
}

// The links of both sides once the start message has been acknowledged
// (server: send_seq 2, recv_seq 3; client: send_seq 4, recv_seq 1), so that
// the next file header carries sequence number 2.
inline void started_links(LinkState& server, LinkState& client) {
    init_link(server);
    memcpy(server.own_mac, SERVER_MAC, MAC_LENGTH);
    memcpy(server.peer_mac, CLIENT_MAC, MAC_LENGTH);
    server.send_seq = 2;
    server.recv_seq = 3;
    init_link(client);
    memcpy(client.own_mac, CLIENT_MAC, MAC_LENGTH);
    memcpy(client.peer_mac, SERVER_MAC, MAC_LENGTH);
    client.send_seq = 4;
    client.recv_seq = 1;
}

// The client of a started conversation on "cli0" that acknowledges every
// message it accepts and every repeat, until recv_seq reaches last, or
// (last 0) until 3 s pass without a datagram; 0 when it got there.
inline int acknowledging_client(uint16_t last) {
    NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
    LinkState server_side, link;
    started_links(server_side, link);
    printf("ready\n");
    fflush(stdout);
    uint8_t buffer[RECEIVE_BUFFER_SIZE];
    uint8_t ack[HEADER_SIZE];
    while (last == 0 || link.recv_seq < last) {
        int length = wait_datagram(endpoint, buffer, 3000000);
        if (length < 0) return last == 0 ? 0 : 1;
        bool repeat = repeats_accepted_message(link, buffer, length);
        if (accept_datagram(link, buffer, length) || repeat) {
            build_header(link, ack, 0, true, KIND_TEXT);
            send_datagram(endpoint, ack, HEADER_SIZE);
        }
    }
    return 0;
}

// The server of a started conversation on "srv0" sending the file at path;
// 0 when it went whole.
inline int send_one_file(const std::string& path) {
    NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
    LinkState link, unused;
    started_links(link, unused);
    FileSender sender;
    init_file_sender(sender, endpoint, link);
    bool sent = start_file(sender, path.c_str(), true) && transfer_file(sender);
    close_file_sender(sender);
    return sent ? 0 : 2;
}

// One datagram of the installation protocol, as recorded on the wire.
struct WireDatagram {
    int64_t at_us = 0;
    DatagramHeader header = {};
    std::string payload;  // as far as recorded
};

inline std::vector<WireDatagram> protocol_datagrams(const std::vector<WireFrame>& frames) {
    std::vector<WireDatagram> datagrams;
    for (const WireFrame& frame : frames) {
        std::vector<uint8_t> udp = udp_payload(frame, INSTALL_PORT);
        if (udp.size() < HEADER_SIZE) continue;
        WireDatagram d;
        d.at_us = frame.at_us;
        d.header = read_header(udp.data());
        d.payload.assign(udp.begin() + HEADER_SIZE, udp.end());
        datagrams.push_back(d);
    }
    return datagrams;
}

inline bool from(const WireDatagram& d, const uint8_t* mac) {
    return memcmp(d.header.src_mac, mac, MAC_LENGTH) == 0;
}

inline bool is_ack(const WireDatagram& d) {
    return d.header.payload_length == 0 && (d.header.flags & ACK_FLAG);
}

inline bool tagged(const WireDatagram& d, const char* tag) {
    return d.header.kind == KIND_TEXT && d.payload.compare(0, 4, tag) == 0;
}

// Milliseconds between successive datagrams of a series.
inline std::vector<double> gaps_ms(const std::vector<WireDatagram>& series) {
    std::vector<double> gaps;
    for (size_t i = 1; i < series.size(); ++i)
        gaps.push_back(static_cast<double>(series[i].at_us - series[i - 1].at_us) / 1000.0);
    return gaps;
}

// Two machines whose cables meet in a frame relay (running in a thread of
// the test): tap "srv0" in server, tap "cli0" in client. Port 0 of the
// relay is the server's tap, port 1 the client's.
struct RelayedCable {
    NetNamespace server;
    NetNamespace client;
    FrameRelay relay;
    int stop[2] = {-1, -1};
    std::thread thread;
    bool ok = false;

    explicit RelayedCable(const FaultPlan& faults, const std::string& pcap = "") {
        init_relay(relay, faults);
        std::string error;
        ok = create_namespace(server) && create_namespace(client) &&
             add_tap_port(relay, "srv0", "/proc/self/fd/" + std::to_string(server.fd), error) &&
             add_tap_port(relay, "cli0", "/proc/self/fd/" + std::to_string(client.fd), error) &&
             run_ip(server, {"link", "set", "srv0", "address", mac_option(SERVER_MAC)}) &&
             run_ip(client, {"link", "set", "cli0", "address", mac_option(CLIENT_MAC)}) &&
             (pcap.empty() || open_pcap(relay.pcap, pcap.c_str())) && pipe(stop) == 0;
        if (!error.empty()) fprintf(stderr, "relay: %s\n", error.c_str());
        if (ok) thread = std::thread([this] { run_relay(relay, stop[0]); });
    }
    // Stops the relay (its counters are final then).
    void finish() {
        if (!thread.joinable()) return;
        ssize_t n = write(stop[1], "x", 1);
        (void)n;
        thread.join();
        close_pcap(relay.pcap);
    }
    ~RelayedCable() {
        finish();
        close_relay(relay);
        if (stop[0] >= 0) close(stop[0]);
        if (stop[1] >= 0) close(stop[1]);
        close_namespace(server);
        close_namespace(client);
    }
};

// One segment of a server and count routers whose cables all meet in one
// frame relay (a hub in a thread of the test): tap "srv0" with SERVER_MAC
// in server, tap "cli0" with segment_router_mac(i) in routers[i]. Port 0
// of the relay is the server's, port i + 1 router i's.
inline std::string segment_router_mac(int i) {
    char text[24];
    snprintf(text, sizeof text, "02:00:00:00:10:%02X", static_cast<unsigned>(i + 1) & 0xffu);
    return text;
}

struct RelayedSegment {
    NetNamespace server;
    std::vector<NetNamespace> routers;
    FrameRelay relay;
    int stop[2] = {-1, -1};
    std::thread thread;
    bool ok = false;

    RelayedSegment(int count, const FaultPlan& faults) : routers(static_cast<size_t>(count)) {
        init_relay(relay, faults);
        std::string error;
        ok = create_namespace(server) &&
             add_tap_port(relay, "srv0", "/proc/self/fd/" + std::to_string(server.fd), error) &&
             run_ip(server, {"link", "set", "srv0", "address", mac_option(SERVER_MAC)});
        for (int i = 0; ok && i < count; ++i) {
            NetNamespace& ns = routers[static_cast<size_t>(i)];
            ok = create_namespace(ns) &&
                 add_tap_port(relay, "cli0", "/proc/self/fd/" + std::to_string(ns.fd), error) &&
                 run_ip(ns, {"link", "set", "cli0", "address", segment_router_mac(i)});
        }
        ok = ok && pipe(stop) == 0;
        if (!error.empty()) fprintf(stderr, "relay: %s\n", error.c_str());
        if (ok) thread = std::thread([this] { run_relay(relay, stop[0]); });
    }
    ~RelayedSegment() {
        if (thread.joinable()) {
            ssize_t n = write(stop[1], "x", 1);
            (void)n;
            thread.join();
        }
        close_relay(relay);
        if (stop[0] >= 0) close(stop[0]);
        if (stop[1] >= 0) close(stop[1]);
        close_namespace(server);
        for (NetNamespace& ns : routers) close_namespace(ns);
    }
};

// The number-th bare acknowledgement with seq and ack that comes in on the
// relay's port, chosen by its bytes: the protocol header starts 42 bytes
// into the Ethernet frame (14 Ethernet, 20 IPv4, 8 UDP), and an
// acknowledgement's flags, kind, length, seq and ack are its bytes 12 to 19.
inline FrameChoice acknowledgement_frame(int port, uint64_t number, uint16_t seq, uint16_t ack) {
    FrameChoice choice(port, number);
    choice.offset = 42 + 12;
    choice.match = {ACK_FLAG,
                    KIND_TEXT,
                    0,
                    0,
                    static_cast<uint8_t>(seq & 0xff),
                    static_cast<uint8_t>(seq >> 8),
                    static_cast<uint8_t>(ack & 0xff),
                    static_cast<uint8_t>(ack >> 8)};
    return choice;
}

// A hostile machine's sender: datagrams made by hand, sent as UDP
// broadcasts to the installation port from any source port on one
// interface of the calling process's namespace.
struct Injector {
    int fd = -1;
    sockaddr_in to = {};
};

inline bool open_injector(Injector& injector, const char* interface, uint16_t source_port) {
    injector.fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(source_port);
    injector.to.sin_family = AF_INET;
    injector.to.sin_port = htons(INSTALL_PORT);
    injector.to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return injector.fd >= 0 &&
           setsockopt(injector.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 &&
           setsockopt(injector.fd, SOL_SOCKET, SO_BINDTODEVICE, interface, strlen(interface) + 1) ==
               0 &&
           bind(injector.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

inline void inject(const Injector& injector, const std::vector<uint8_t>& bytes) {
    ssize_t n = sendto(injector.fd, bytes.data(), bytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&injector.to), sizeof injector.to);
    (void)n;
}

// A datagram with the header fields given and payload; payload_length
// says the payload's length plus length_lie.
inline std::vector<uint8_t> forged_datagram(const uint8_t* src, const uint8_t* dst, uint8_t flags,
                                            uint8_t kind, uint16_t seq, uint16_t ack,
                                            const std::string& payload, int length_lie = 0) {
    DatagramHeader header = {};
    memcpy(header.src_mac, src, MAC_LENGTH);
    memcpy(header.dst_mac, dst, MAC_LENGTH);
    header.flags = flags;
    header.kind = kind;
    header.payload_length = static_cast<uint16_t>(static_cast<int>(payload.size()) + length_lie);
    header.seq = seq;
    header.ack = ack;
    std::vector<uint8_t> bytes(HEADER_SIZE);
    write_header(bytes.data(), header);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

// An announcement by hand: "DSCV", two empty lines, label and its
// terminator (label may hold anything, a line feed too).
inline std::vector<uint8_t> forged_announcement(const uint8_t* mac, const std::string& label) {
    static const uint8_t nobody[MAC_LENGTH] = {};
    return forged_datagram(mac, nobody, 0, KIND_TEXT, 1, 0,
                           std::string("DSCV\n\n\n") + label + std::string(1, '\0'));
}

// Whether text holds a byte that would steer a terminal: a control byte
// other than the line feed, or one from 127 on.
inline bool has_control_bytes(const std::string& text) {
    for (unsigned char c : text)
        if ((c < 32 && c != '\n') || c >= 127) return true;
    return false;
}

// size bytes of a pattern that differs in every position and with seed.
inline std::string byte_pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return bytes;
}

// Test files in a temporary folder, removed at the end.
struct FileFolder {
    std::string path;
    FileFolder() {
        char name[] = "/tmp/netinstall-files-XXXXXX";
        path = mkdtemp(name);
    }
    ~FileFolder() {
        std::string cmd = "rm -rf '" + path + "'";
        int status = system(cmd.c_str());
        (void)status;
    }
    // A file of size bytes of a pattern that differs in every position and
    // between files; its path.
    std::string make(const std::string& name, size_t size, unsigned seed = 1) const {
        std::string file = path + "/" + name;
        FILE* f = fopen(file.c_str(), "wb");
        uint32_t x = seed * 2654435761u + 1;
        for (size_t i = 0; i < size; ++i) {
            x = x * 1103515245u + 12345u;
            fputc(static_cast<int>(x >> 16), f);
        }
        fclose(f);
        return file;
    }
    std::string read(const std::string& name) const {
        std::string text;
        FILE* f = fopen((path + "/" + name).c_str(), "rb");
        if (f == nullptr) return "<missing>";
        char buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        fclose(f);
        return text;
    }
};

// A router that announces itself only when told: each line typed into its
// standard input is a label, sent in one announcement from interface.
// When offer_reply is not empty, an offer is answered with a message of
// that text (acknowledgement flag set) instead of an acceptance; otherwise
// offers are left unanswered.
inline int scripted_router(const char* interface, const uint8_t* mac,
                           const std::string& offer_reply = "") {
    NetEndpoint endpoint = open_or_exit(interface, mac);
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, mac, MAC_LENGTH);
    printf("ready\n");
    fflush(stdout);
    uint8_t datagram[RECEIVE_BUFFER_SIZE];
    std::string line;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(0, &readable);
        FD_SET(endpoint.socket_fd, &readable);
        if (select(endpoint.socket_fd + 1, &readable, nullptr, nullptr, nullptr) < 0) return 1;
        if (FD_ISSET(0, &readable)) {
            char c;
            if (read(0, &c, 1) != 1) return 0;
            if (c != '\n') {
                line += c;
                continue;
            }
            reset_link(link);
            memset(link.peer_mac, 0, MAC_LENGTH);
            send_datagram(endpoint, datagram, build_discovery(link, datagram, line.c_str()));
            printf("announced %s\n", line.c_str());
            fflush(stdout);
            line.clear();
        }
        if (FD_ISSET(endpoint.socket_fd, &readable)) {
            int length = receive_datagram(endpoint, datagram);
            reset_link(link);
            memset(link.peer_mac, 0, MAC_LENGTH);
            bool keep = false;
            if (length < HEADER_SIZE || !accept_datagram(link, datagram, length) ||
                !read_offer(link, datagram, length, keep))
                continue;
            printf("offered%s\n", keep ? " keep" : "");
            fflush(stdout);
            if (offer_reply.empty()) continue;
            memcpy(link.peer_mac, read_header(datagram).src_mac, MAC_LENGTH);
            link.send_seq = 2;
            send_datagram(endpoint, datagram,
                          build_message(link, datagram, offer_reply.c_str(), false, true));
        }
    }
}

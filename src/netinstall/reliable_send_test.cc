#include "netinstall/reliable_send.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "netinstall/netinstall_test_support.h"
#include "netinstall/protocol_messages.h"

namespace {

// The peer of the test: answers the server's datagrams of each sequence
// number as the script says and prints when each copy arrived.
int scripted_peer() {
    NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, CLIENT_MAC, MAC_LENGTH);
    memcpy(link.peer_mac, SERVER_MAC, MAC_LENGTH);
    printf("ready\n");
    fflush(stdout);
    uint8_t buffer[RECEIVE_BUFFER_SIZE];
    uint8_t answer[MAX_DATAGRAM];
    int copies[4] = {};
    int64_t first_at = 0;
    std::string first_copy;
    for (;;) {
        int length = wait_datagram(endpoint, buffer, 8000000);
        if (length < HEADER_SIZE) break;
        DatagramHeader h = read_header(buffer);
        if (same_mac(h.src_mac, CLIENT_MAC)) continue;  // our own, back again
        if (h.seq > 3) break;
        int copy = ++copies[h.seq];
        if (h.seq == 1) {
            // Silence; note the spacing and that every copy is the same.
            std::string bytes(reinterpret_cast<char*>(buffer), static_cast<size_t>(length));
            if (copy == 1) {
                first_at = now_us();
                first_copy = bytes;
            }
            int64_t ms = (now_us() - first_at) / 1000;
            int64_t due = (copy - 1) * 300;
            printf("seq 1 copy %d %s %s\n", copy,
                   ms >= due - 5 && ms <= due + 400 ? "on time" : "late",
                   bytes == first_copy ? "same" : "different");
        } else if (h.seq == 2 && copy == 1) {
            link.recv_seq = 1;  // below the server's send_seq: taken, not a reply
            send_datagram(endpoint, answer, build_acknowledgement(link, answer));
            link.recv_seq = 9;  // above it: refused
            send_datagram(endpoint, answer, build_acknowledgement(link, answer));
        } else if (h.seq == 2 && copy == 2) {
            link.recv_seq = 2;
            send_datagram(endpoint, answer, build_acknowledgement(link, answer));
        } else if (h.seq == 3 && copy == 1) {
            link.send_seq = 1;
            send_datagram(endpoint, answer, build_message(link, answer, "YACK\n", false, false));
        }
        fflush(stdout);
    }
    return 0;
}

}  // namespace

TEST(ReliableSend, RepeatsEachTryAfterItsTimeoutUntilTheRightReply) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    LabProcess peer;
    ASSERT_TRUE(start_in_namespace(peer, cable.client, scripted_peer));
    ASSERT_TRUE(wait_for_output(peer, "ready\n", 10000));
    LabProcess server;
    ASSERT_TRUE(start_in_namespace(server, cable.server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        LinkState link;
        init_link(link);
        memcpy(link.own_mac, SERVER_MAC, MAC_LENGTH);
        memcpy(link.peer_mac, CLIENT_MAC, MAC_LENGTH);
        uint8_t datagram[MAX_DATAGRAM];
        uint8_t reply[RECEIVE_BUFFER_SIZE];
        // 1: four tries of 300 ms into silence.
        int length = build_message(link, datagram, "ping", false, false);
        int64_t start = now_us();
        int result = send_reliably(endpoint, link, datagram, length, reply, 300000, 4);
        int64_t took_ms = (now_us() - start) / 1000;
        printf("silence: %d after %s\n", result,
               took_ms >= 1190 && took_ms < 3000 ? "4 x 300 ms" : "wrong time");
        // 2: a lower and a higher ack do not answer; the right one does.
        link.send_seq = 2;
        length = build_message(link, datagram, "ping", false, false);
        result = send_reliably(endpoint, link, datagram, length, reply, 300000, 4);
        printf("acks: %d, recv_seq %d\n", result, link.recv_seq);
        // 3: a message with content answers by itself and is consumed.
        link.send_seq = 3;
        length = build_message(link, datagram, "ping", false, false);
        result = send_reliably(endpoint, link, datagram, length, reply, 300000, 4);
        printf("content: %d '%.4s', recv_seq %d\n", result, reply + HEADER_SIZE, link.recv_seq);
        // 4: a send that fails ends it at once.
        close_endpoint(endpoint);
        start = now_us();
        result = send_reliably(endpoint, link, datagram, length, reply, 300000, 4);
        printf("broken: %d %s\n", result, now_us() - start < 100000 ? "at once" : "late");
        link.send_seq = 4;
        length = build_message(link, datagram, "stop", false, false);
        NetEndpoint again = open_or_exit("srv0", SERVER_MAC);
        send_datagram(again, datagram, length);
        return 0;
    }));
    EXPECT_TRUE(finish_processes({&peer, &server}, 30000));
    EXPECT_EQ(server.output,
              "silence: -1 after 4 x 300 ms\n"
              "acks: 20, recv_seq 0\n"
              "content: 25 'YACK', recv_seq 1\n"
              "broken: -1 at once\n");
    EXPECT_EQ(peer.output,
              "ready\n"
              "seq 1 copy 1 on time same\n"
              "seq 1 copy 2 on time same\n"
              "seq 1 copy 3 on time same\n"
              "seq 1 copy 4 on time same\n");
}
